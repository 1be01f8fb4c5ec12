#include "lib/role_session.hpp"

#include <stdexcept>

#include "aws/errors.hpp"
#include "core/logging.hpp"

namespace qvn {

AwsSessionResult assumeRoleSession(const std::string& assume_role, const std::optional<std::string>& profile) {
  auto profile_session = aws::Session::create(aws::SessionOptions{profile, std::nullopt, nullptr});
  aws::StsClient sts(profile_session);
  const auto answer = sts.assume_role({assume_role, kRoleSessionName});
  if (!answer.Credentials) {
    throw aws::AwsError("the AssumeRole answer for " + assume_role + " carries no Credentials");
  }
  const aws::sts::Credentials& credentials = *answer.Credentials;
  try {
    if (credentials.AccessKeyId.empty() || credentials.SecretAccessKey.empty() || credentials.SessionToken.empty()) {
      throw std::runtime_error("incomplete credentials");
    }
    auto session =
        aws::Session::from_credentials(credentials.AccessKeyId, credentials.SecretAccessKey, credentials.SessionToken);
    return AwsSession{session, credentials};
  } catch (const std::exception&) {
    packageLogger().error(std::string("  **Error** ") + kNewSessionFailed);
    return std::string(kNewSessionFailed);
  }
}

std::shared_ptr<aws::Session> sessionOf(const AwsSessionResult& result) {
  if (const auto* failure = std::get_if<std::string>(&result)) throw std::runtime_error(*failure);
  return std::get<AwsSession>(result).session;
}

}  // namespace qvn
