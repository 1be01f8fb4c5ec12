#pragma once
// subnet_survey's AWS session: the role of --assume_role, assumed with the
// credentials of --profile (or the default chain).
//
// Results are kept in a process-wide cache of one entry for 1200 seconds,
// keyed by the arguments: asking again for the same role and profile within
// that time sends nothing. A failure to assume the role (unknown profile,
// refused role, no credentials in the answer) is thrown and not cached.
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "aws/session.hpp"
#include "aws/sts.hpp"

namespace qvn::survey {

inline constexpr const char* kRoleSessionName = "Quorvane_Workflow";
inline constexpr const char* kNewSessionFailed = "The AWS new session attempt has failed";

struct AwsSession {
  std::shared_ptr<aws::Session> session;
  aws::sts::Credentials credentials;
};

// The session and the role's credentials, or the text kNewSessionFailed
// when no session could be built from them (logged as ERROR).
using AwsSessionResult = std::variant<AwsSession, std::string>;

AwsSessionResult start_aws_session(const std::string& assume_role,
                                   const std::optional<std::string>& profile = std::nullopt);

// Empties the cache (tests).
void clearAwsSessionCache();

}  // namespace qvn::survey
