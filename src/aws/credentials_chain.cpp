#include "aws/credentials_chain.hpp"

#include <fstream>
#include <set>
#include <sstream>

#include "aws/credential_sources.hpp"
#include "aws/errors.hpp"
#include "aws/remote_credentials.hpp"
#include "aws/session.hpp"
#include "aws/sts.hpp"
#include "aws/text_codec.hpp"

namespace qvn::aws {
namespace {

std::string default_session_name() {
  return "quorvane-session-" +
         std::to_string(std::chrono::duration_cast<std::chrono::seconds>(core::now().time_since_epoch()).count());
}

Credentials from_sts(const std::optional<sts::Credentials>& answer, const std::string& role_arn,
                     const std::string& source) {
  if (!answer || answer->AccessKeyId.empty())
    throw CredentialsError("STS answered without credentials for role " + role_arn);
  Credentials credentials{answer->AccessKeyId, answer->SecretAccessKey, answer->SessionToken,
                          parse_timestamp(answer->Expiration), source};
  return credentials;
}

// What the chain needs of the session it belongs to.
struct Context {
  SharedConfig config;
  std::shared_ptr<http::HttpTransport> transport;
  std::shared_ptr<CallListener> listener;
  std::optional<std::string> region;
  std::string sso_portal_endpoint;
  ImdsSettings imds;
};

// A session on `provider` for the STS calls of a provider.
std::shared_ptr<Session> sts_session(const Context& context, std::shared_ptr<CredentialsProvider> provider) {
  SessionOptions options;
  options.region = context.region;
  options.transport = context.transport;
  options.listener = context.listener;
  return Session::from_provider(std::move(provider), std::move(options));
}

class NoCredentialsProvider final : public CredentialsProvider {
 public:
  Credentials credentials() override { throw CredentialsError("an unsigned request has no credentials"); }
};

std::shared_ptr<CredentialsProvider> web_identity_provider(const Context& context, const ConfigSection& profile,
                                                           bool from_environment) {
  std::optional<std::string> token_file, role_arn, session_name;
  if (from_environment) {
    token_file = env("AWS_WEB_IDENTITY_TOKEN_FILE");
    role_arn = env("AWS_ROLE_ARN");
    session_name = env("AWS_ROLE_SESSION_NAME");
  }
  if (!token_file) token_file = profile.get("web_identity_token_file");
  if (!role_arn) role_arn = profile.get("role_arn");
  if (!session_name) session_name = profile.get("role_session_name");
  if (!token_file) return nullptr;
  if (!role_arn) throw CredentialsError("a web identity token file is set but no role ARN (AWS_ROLE_ARN or role_arn)");
  std::string path = expand_path(*token_file);
  std::string name = session_name.value_or(default_session_name());
  auto client = std::make_shared<StsClient>(sts_session(context, std::make_shared<NoCredentialsProvider>()));
  auto fetch = [client, path, arn = *role_arn, name] {
    // The token file is read again at every refresh: it is rotated.
    std::ifstream in(path);
    if (!in) throw CredentialsError("cannot read the web identity token file " + path);
    std::ostringstream token;
    token << in.rdbuf();
    if (token.str().empty()) throw CredentialsError("the web identity token file " + path + " is empty");
    sts::AssumeRoleWithWebIdentityRequest request{arn, name, token.str(), std::nullopt, std::nullopt, std::nullopt};
    return from_sts(client->assume_role_with_web_identity(request).Credentials, arn, "web-identity");
  };
  return std::make_shared<RefreshingCredentialsProvider>(fetch);
}

std::shared_ptr<CredentialsProvider> profile_provider(const Context& context, const std::string& name,
                                                      std::set<std::string> visited);

std::shared_ptr<CredentialsProvider> credential_source_provider(const Context& context, const std::string& source,
                                                                const std::string& profile_name) {
  std::string kind = text::lower(source);
  std::shared_ptr<CredentialsProvider> provider;
  if (kind == "environment")
    provider = environment_credentials_provider();
  else if (kind == "ecscontainer")
    provider = container_credentials_provider(context.transport);
  else if (kind == "ec2instancemetadata")
    provider = instance_role_provider(context.transport, context.imds);
  else
    throw CredentialsError("profile " + profile_name + " has an unknown credential_source " + source +
                           " (expected Environment, EcsContainer or Ec2InstanceMetadata)");
  if (!provider)
    throw CredentialsError("the credential_source " + source + " of profile " + profile_name + " has no credentials");
  return provider;
}

// role_arn of a profile, with its source_profile or credential_source.
std::shared_ptr<CredentialsProvider> assume_role_provider(const Context& context, const std::string& name,
                                                          const ConfigSection& profile, std::set<std::string> visited) {
  auto role_arn = profile.get("role_arn");
  if (!role_arn) return nullptr;
  auto source_profile = profile.get("source_profile");
  auto credential_source = profile.get("credential_source");
  if (source_profile.has_value() == credential_source.has_value())
    throw CredentialsError("profile " + name + " must have exactly one of source_profile and credential_source");
  if (profile.get("mfa_serial"))
    throw CredentialsError("profile " + name + " needs an MFA code (mfa_serial), which cannot be asked for here");
  std::shared_ptr<CredentialsProvider> source;
  if (credential_source) {
    source = credential_source_provider(context, *credential_source, name);
  } else if (*source_profile == name) {
    source = profile_keys_provider(profile, name);
    if (!source) throw CredentialsError("profile " + name + " is its own source_profile but holds no keys");
  } else {
    if (visited.count(*source_profile))
      throw CredentialsError("the source_profile chain of profile " + name + " loops back to " + *source_profile);
    visited.insert(name);
    source = profile_provider(context, *source_profile, visited);
  }
  sts::AssumeRoleRequest request;
  request.RoleArn = *role_arn;
  request.RoleSessionName = profile.get("role_session_name").value_or(default_session_name());
  request.ExternalId = profile.get("external_id");
  if (auto duration = profile.get("duration_seconds")) {
    try {
      request.DurationSeconds = std::stoi(*duration);
    } catch (const std::exception&) {
      throw CredentialsError("profile " + name + " has a malformed duration_seconds");
    }
  }
  auto client = std::make_shared<StsClient>(sts_session(context, source));
  auto fetch = [client, request] {
    return from_sts(client->assume_role(request).Credentials, request.RoleArn, "assume-role");
  };
  return std::make_shared<RefreshingCredentialsProvider>(fetch);
}

// The credentials a profile itself defines (as a source_profile). A source
// profile that holds keys of its own lends those keys, even when it also has
// a role_arn: its role is only followed when it has no keys.
std::shared_ptr<CredentialsProvider> profile_provider(const Context& context, const std::string& name,
                                                      std::set<std::string> visited) {
  if (!context.config.has_profile(name)) throw CredentialsError("The config profile (" + name + ") could not be found");
  ConfigSection profile = context.config.profile(name);
  bool holds_keys =
      profile.get("aws_access_key_id") || profile.get("aws_secret_access_key") || profile.get("aws_session_token");
  if (!holds_keys && !profile.get("web_identity_token_file")) {
    if (auto provider = assume_role_provider(context, name, profile, std::move(visited))) return provider;
  }
  if (auto provider = web_identity_provider(context, profile, false)) return provider;
  if (auto provider =
          sso_credentials_provider(context.config, profile, name, context.transport, context.sso_portal_endpoint))
    return provider;
  if (auto provider = profile_keys_provider(profile, name)) return provider;
  if (auto provider = process_credentials_provider(profile, name)) return provider;
  throw CredentialsError("profile " + name + " holds no credentials");
}

}  // namespace

std::shared_ptr<CredentialsProvider> make_default_credentials_chain(const Session& session, bool named_profile) {
  auto context = std::make_shared<Context>();
  context->config = session.config();
  context->transport = session.transport();
  context->listener = session.listener();
  context->region = session.region();
  context->sso_portal_endpoint = session.endpoint_settings("sso").endpoint_url;
  context->imds = ImdsSettings::from_environment(&session.profile());
  const std::string& name = session.profile_name();
  const ConfigSection& profile = session.profile();

  std::vector<ChainCredentialsProvider::Source> sources;
  if (!named_profile) {
    sources.push_back({"environment variables", [] { return environment_credentials_provider(); }});
  }
  sources.push_back({"role_arn of profile " + name, [context, name, profile] {
                       if (profile.get("web_identity_token_file")) return std::shared_ptr<CredentialsProvider>();
                       return assume_role_provider(*context, name, profile, {});
                     }});
  sources.push_back(
      {"web identity token", [context, profile] { return web_identity_provider(*context, profile, true); }});
  sources.push_back({"SSO of profile " + name, [context, name, profile] {
                       return sso_credentials_provider(context->config, profile, name, context->transport,
                                                       context->sso_portal_endpoint);
                     }});
  sources.push_back({"keys of profile " + name + " in the shared credentials and config files",
                     [profile, name] { return profile_keys_provider(profile, name); }});
  sources.push_back({"credential_process of profile " + name,
                     [profile, name] { return process_credentials_provider(profile, name); }});
  sources.push_back(
      {"container credentials", [context] { return container_credentials_provider(context->transport); }});
  sources.push_back(
      {"instance metadata service", [context] { return instance_role_provider(context->transport, context->imds); }});
  return std::make_shared<ChainCredentialsProvider>(std::move(sources));
}

// A plain session's credentials are the default chain, which itself makes
// sessions (for STS), so the plain session is made here, above both.
std::shared_ptr<Session> Session::create(SessionOptions options) {
  bool named = options.profile.has_value();
  std::shared_ptr<Session> session(new Session(std::move(options), named));
  session->provider_ = make_default_credentials_chain(*session, named);
  return session;
}

}  // namespace qvn::aws
