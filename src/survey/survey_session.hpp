#pragma once
// subnet_survey's AWS session: the role of --assume_role, assumed with the
// credentials of --profile (or the default chain), see lib/role_session.hpp.
//
// Results are kept in a process-wide cache of one entry for 1200 seconds,
// keyed by the arguments: asking again for the same role and profile within
// that time sends nothing. A failure to assume the role (unknown profile,
// refused role, no credentials in the answer) is thrown and not cached.
#include <optional>
#include <string>

#include "lib/role_session.hpp"

namespace qvn::survey {

using qvn::AwsSession;
using qvn::AwsSessionResult;
using qvn::kNewSessionFailed;
using qvn::kRoleSessionName;

AwsSessionResult start_aws_session(const std::string& assume_role,
                                   const std::optional<std::string>& profile = std::nullopt);

// Empties the cache (tests).
void clearAwsSessionCache();

}  // namespace qvn::survey
