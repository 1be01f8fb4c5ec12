#include "survey/survey_session.hpp"

#include "lib/ttl_cache.hpp"

namespace qvn::survey {

namespace {

using SessionCache = TtlCache<AwsSessionResult, std::string, std::optional<std::string>>;

SessionCache& sessionCache() {
  static SessionCache cache(1, core::Seconds(1200));
  return cache;
}

}  // namespace

AwsSessionResult start_aws_session(const std::string& assume_role, const std::optional<std::string>& profile) {
  return sessionCache().get_or_compute(assume_role, profile, assumeRoleSession);
}

void clearAwsSessionCache() { sessionCache().clear(); }

}  // namespace qvn::survey
