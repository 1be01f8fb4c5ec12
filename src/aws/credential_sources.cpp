#include "aws/credential_sources.hpp"

#include "aws/errors.hpp"

namespace qvn::aws {

std::shared_ptr<CredentialsProvider> environment_credentials_provider() {
  auto key = env("AWS_ACCESS_KEY_ID");
  auto secret = env("AWS_SECRET_ACCESS_KEY");
  if (!key && !secret) return nullptr;
  if (!key || !secret)
    throw CredentialsError("partial credentials in the environment: AWS_ACCESS_KEY_ID and "
                           "AWS_SECRET_ACCESS_KEY must both be set");
  auto read = [] {
    auto id = env("AWS_ACCESS_KEY_ID");
    auto secret_key = env("AWS_SECRET_ACCESS_KEY");
    if (!id || !secret_key) throw CredentialsError("the environment's credentials were removed");
    Credentials credentials{*id, *secret_key, "", std::nullopt, "environment"};
    if (auto token = env("AWS_SECURITY_TOKEN")) credentials.session_token = *token;
    else if (auto session = env("AWS_SESSION_TOKEN")) credentials.session_token = *session;
    if (auto expiry = env("AWS_CREDENTIAL_EXPIRATION")) {
      credentials.expiration = parse_iso8601(*expiry);
      if (!credentials.expiration)
        throw CredentialsError("AWS_CREDENTIAL_EXPIRATION is not an ISO 8601 time: " + *expiry);
    }
    return credentials;
  };
  Credentials first = read();
  if (first.expiration) return std::make_shared<RefreshingCredentialsProvider>(read, first);
  return std::make_shared<StaticCredentialsProvider>(first);
}

std::shared_ptr<CredentialsProvider> profile_keys_provider(const ConfigSection& profile,
                                                           const std::string& profile_name) {
  auto key = profile.get("aws_access_key_id");
  auto secret = profile.get("aws_secret_access_key");
  if (!key && !secret) return nullptr;
  if (!key || !secret)
    throw CredentialsError("partial credentials in profile " + profile_name +
                           ": aws_access_key_id and aws_secret_access_key must both be set");
  Credentials credentials{*key, *secret, "", std::nullopt, "shared-credentials"};
  if (auto token = profile.get("aws_session_token")) credentials.session_token = *token;
  else if (auto legacy = profile.get("aws_security_token")) credentials.session_token = *legacy;
  return std::make_shared<StaticCredentialsProvider>(credentials);
}

}  // namespace qvn::aws
