#include "aws/credential_sources.hpp"

#include <sys/wait.h>

#include <cstdio>
#include <nlohmann/json.hpp>

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

namespace qvn::aws {
namespace {

std::string run_command(const std::string& command, const std::string& profile_name) {
  std::FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) throw CredentialsError("cannot run the credential_process of profile " + profile_name);
  std::string output;
  char buffer[4096];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, got);
  int status = pclose(pipe);
  if (status != 0)
    throw CredentialsError("the credential_process of profile " + profile_name + " failed (exit status " +
                           std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : status) + ")");
  return output;
}

}  // namespace

Credentials parse_process_output(const std::string& output, const std::string& profile_name) {
  auto document = nlohmann::json::parse(output, nullptr, false);
  std::string where = "the credential_process of profile " + profile_name;
  if (!document.is_object()) throw CredentialsError(where + " did not print a JSON object");
  if (!document.contains("Version") || document["Version"] != 1)
    throw CredentialsError(where + " printed an unsupported Version (expected 1)");
  auto text = [&](const char* key) -> std::string {
    if (!document.contains(key)) return "";
    if (!document[key].is_string()) throw CredentialsError(where + ": " + key + " is not a string");
    return document[key];
  };
  Credentials credentials{text("AccessKeyId"), text("SecretAccessKey"), text("SessionToken"), std::nullopt,
                          "credential-process"};
  if (credentials.access_key_id.empty() || credentials.secret_access_key.empty())
    throw CredentialsError(where + " printed no AccessKeyId or SecretAccessKey");
  std::string expiry = text("Expiration");
  if (!expiry.empty()) {
    credentials.expiration = parse_iso8601(expiry);
    if (!credentials.expiration) throw CredentialsError(where + " printed a malformed Expiration");
  }
  return credentials;
}

std::shared_ptr<CredentialsProvider> process_credentials_provider(const ConfigSection& profile,
                                                                  const std::string& profile_name) {
  auto command = profile.get("credential_process");
  if (!command) return nullptr;
  auto fetch = [command = *command, profile_name] {
    return parse_process_output(run_command(command, profile_name), profile_name);
  };
  return std::make_shared<RefreshingCredentialsProvider>(fetch);
}

}  // namespace qvn::aws
