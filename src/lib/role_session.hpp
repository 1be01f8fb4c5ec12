#pragma once
// A session on the temporary credentials of an assumed IAM role, the way
// both programs open one: the role is assumed with the credentials of a
// named profile (or the default chain) under the session name
// "Quorvane_Workflow", with nothing else in the request.
//
// The session's credentials are those of the first answer until they near
// their expiry: from five minutes before it, the role is assumed again (one
// caller fetches, the others keep the current set; in the last minute all
// wait for it), and once more when AWS refuses them as expired. Every client
// of the session shares that one refresh, from any thread.
//
// Failures before the credentials are in hand (unknown profile, no usable
// credentials, a refused role, an answer without Credentials) are thrown to
// the caller. When no session can be built from the credentials, the
// result is the text kNewSessionFailed instead, logged at ERROR once.
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "aws/session.hpp"
#include "aws/sts.hpp"

namespace qvn {

inline constexpr const char* kRoleSessionName = "Quorvane_Workflow";
inline constexpr const char* kNewSessionFailed = "The AWS new session attempt has failed";
inline constexpr aws::RefreshWindows kRoleRefreshWindows{std::chrono::minutes(5),
                                                                                std::chrono::minutes(1)};

struct AwsSession {
  std::shared_ptr<aws::Session> session;
  aws::sts::Credentials credentials;  // the first answer's; the session refreshes its own
};

// The session and the role's credentials, or the text kNewSessionFailed.
using AwsSessionResult = std::variant<AwsSession, std::string>;

AwsSessionResult assumeRoleSession(const std::string& assume_role,
                                   const std::optional<std::string>& profile = std::nullopt);

// The session of a result; throws std::runtime_error with the failure text
// when there is none (a caller that needs clients cannot go on).
std::shared_ptr<aws::Session> sessionOf(const AwsSessionResult& result);

}  // namespace qvn
