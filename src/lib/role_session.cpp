#include "lib/role_session.hpp"

#include <stdexcept>

#include "aws/errors.hpp"
#include "aws/timestamp.hpp"
#include "core/logging.hpp"
#include "lib/call_log.hpp"

namespace qvn {

namespace {

const aws::sts::Credentials& credentialsOf(const aws::sts::AssumeRoleResult& answer, const std::string& assume_role) {
  if (!answer.Credentials) {
    throw aws::AwsError("the AssumeRole answer for " + assume_role + " carries no Credentials");
  }
  return *answer.Credentials;
}

bool complete(const aws::sts::Credentials& credentials) {
  return !credentials.AccessKeyId.empty() && !credentials.SecretAccessKey.empty() && !credentials.SessionToken.empty();
}

aws::Credentials sessionCredentials(const aws::sts::Credentials& answer) {
  return aws::Credentials{answer.AccessKeyId, answer.SecretAccessKey, answer.SessionToken,
                          aws::parse_timestamp(answer.Expiration), "assume-role"};
}

// The role assumed again for the session: on the same STS client, under the
// same session name.
aws::RefreshingCredentialsProvider::Fetch reassume(std::shared_ptr<aws::StsClient> sts,
                                                   const std::string& assume_role) {
  return [sts, assume_role] {
    const auto answer = sts->assume_role({assume_role, kRoleSessionName});
    const aws::sts::Credentials& credentials = credentialsOf(answer, assume_role);
    if (!complete(credentials))
      throw aws::CredentialsError("the AssumeRole answer for " + assume_role + " carries incomplete credentials");
    return sessionCredentials(credentials);
  };
}

}  // namespace

AwsSessionResult assumeRoleSession(const std::string& assume_role, const std::optional<std::string>& profile) {
  auto profile_session = aws::Session::create(aws::SessionOptions{profile, std::nullopt, nullptr, makeCallLog()});
  auto sts = std::make_shared<aws::StsClient>(profile_session);
  const auto answer = sts->assume_role({assume_role, kRoleSessionName});
  const aws::sts::Credentials& credentials = credentialsOf(answer, assume_role);
  try {
    if (!complete(credentials)) throw std::runtime_error("incomplete credentials");
    auto provider = std::make_shared<aws::RefreshingCredentialsProvider>(
        reassume(sts, assume_role), sessionCredentials(credentials), kRoleRefreshWindows);
    return AwsSession{aws::Session::from_provider(provider, aws::SessionOptions{std::nullopt, std::nullopt, nullptr,
                                                                                profile_session->listener()}),
                      credentials};
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
