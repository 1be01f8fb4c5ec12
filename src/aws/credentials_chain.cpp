#include "aws/credentials_chain.hpp"

#include "aws/credential_sources.hpp"
#include "aws/errors.hpp"
#include "aws/session.hpp"

namespace qvn::aws {

std::shared_ptr<CredentialsProvider> make_default_credentials_chain(const Session& session,
                                                                    bool named_profile) {
  std::vector<ChainCredentialsProvider::Source> sources;
  if (!named_profile) {
    sources.push_back({"environment variables", [] { return environment_credentials_provider(); }});
  }
  std::string profile_name = session.profile_name();
  ConfigSection profile = session.profile();
  sources.push_back({"keys of profile " + profile_name, [profile, profile_name] {
                       return profile_keys_provider(profile, profile_name);
                     }});
  return std::make_shared<ChainCredentialsProvider>(std::move(sources));
}

}  // namespace qvn::aws
