#include "survey/survey_session.hpp"

#include <stdexcept>

#include "aws/errors.hpp"
#include "core/logging.hpp"
#include "lib/ttl_cache.hpp"

namespace qvn::survey {

namespace {

using SessionCache = TtlCache<AwsSessionResult, std::string, std::optional<std::string>>;

SessionCache& sessionCache() {
  static SessionCache cache(1, core::Seconds(1200));
  return cache;
}

AwsSessionResult assumeRole(const std::string& assume_role, const std::optional<std::string>& profile) {
  auto profile_session = aws::Session::create(aws::SessionOptions{profile, std::nullopt, nullptr});
  aws::StsClient sts(profile_session);
  const auto answer = sts.assume_role({assume_role, kRoleSessionName});
  if (!answer.Credentials) {
    throw aws::AwsError("the AssumeRole answer for " + assume_role + " carries no Credentials");
  }
  const aws::sts::Credentials& credentials = *answer.Credentials;
  try {
    if (credentials.AccessKeyId.empty() || credentials.SecretAccessKey.empty() ||
        credentials.SessionToken.empty()) {
      throw std::runtime_error("incomplete credentials");
    }
    auto session = aws::Session::from_credentials(credentials.AccessKeyId, credentials.SecretAccessKey,
                                                  credentials.SessionToken);
    return AwsSession{session, credentials};
  } catch (const std::exception&) {
    getLogger("quorvane_testlibs")->error(std::string("  **Error** ") + kNewSessionFailed);
    return std::string(kNewSessionFailed);
  }
}

}  // namespace

AwsSessionResult start_aws_session(const std::string& assume_role, const std::optional<std::string>& profile) {
  return sessionCache().get_or_compute(assume_role, profile, assumeRole);
}

void clearAwsSessionCache() { sessionCache().clear(); }

}  // namespace qvn::survey
