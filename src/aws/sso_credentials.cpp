// SSO credentials: the portal's GetRoleCredentials with the token that the
// command-line SSO login cached.
#include <fstream>
#include <nlohmann/json.hpp>

#include "aws/endpoints.hpp"
#include "aws/errors.hpp"
#include "aws/protocol.hpp"
#include "aws/remote_credentials.hpp"
#include "aws/text_codec.hpp"
#include "core/clock.hpp"

namespace qvn::aws {

std::shared_ptr<CredentialsProvider> sso_credentials_provider(const SharedConfig& config, const ConfigSection& profile,
                                                              const std::string& profile_name,
                                                              const std::shared_ptr<http::HttpTransport>& transport,
                                                              const std::string& portal_endpoint) {
  auto session_name = profile.get("sso_session");
  auto account = profile.get("sso_account_id");
  auto role = profile.get("sso_role_name");
  std::optional<std::string> start_url = profile.get("sso_start_url");
  std::optional<std::string> sso_region = profile.get("sso_region");
  if (!session_name && !start_url && !account && !role) return nullptr;
  std::string cache_key;
  if (session_name) {
    auto section = config.sso_session(*session_name);
    if (!section)
      throw CredentialsError("profile " + profile_name + " names sso-session " + *session_name +
                             ", which is not in the config file");
    start_url = section->get("sso_start_url");
    sso_region = section->get("sso_region");
    cache_key = *session_name;
  } else if (start_url) {
    cache_key = *start_url;
  }
  if (!account || !role || !start_url || !sso_region)
    throw CredentialsError("profile " + profile_name +
                           " lacks SSO settings (sso_account_id, sso_role_name, sso_start_url, sso_region)");
  std::string cache_file = expand_path("~/.aws/sso/cache/" + text::sha1_hex(cache_key) + ".json");
  std::string portal = portal_endpoint.empty()
                           ? "https://portal.sso." + *sso_region + "." + partition_of(*sso_region).dns_suffix
                           : portal_endpoint;
  std::string url = portal + "/federation/credentials?role_name=" + text::percent_encode(*role, false) +
                    "&account_id=" + text::percent_encode(*account, false);
  auto fetch = [transport, cache_file, url, profile_name] {
    std::string where = "the SSO session of profile " + profile_name;
    std::ifstream in(cache_file);
    if (!in) throw CredentialsError(where + " has no cached login (" + cache_file + "): log in to SSO first");
    auto token = nlohmann::json::parse(in, nullptr, false);
    if (!token.is_object() || !token.contains("accessToken") || !token["accessToken"].is_string())
      throw CredentialsError(where + " has an unreadable token cache " + cache_file);
    if (token.contains("expiresAt")) {
      auto expires = json_timestamp(token["expiresAt"]);
      if (expires && *expires <= core::now()) throw CredentialsError(where + " has expired: log in to SSO again");
    }
    http::HttpRequest request;
    request.url = url;
    request.headers = {{"x-amz-sso_bearer_token", token["accessToken"].get<std::string>()}};
    http::HttpResponse response = send_http(*transport, request);
    if (response.status != 200) {
      ServiceErrorInfo info = parse_error_response(Protocol::Json, response.status, response.headers, response.body);
      throw ServiceError(info, "sso", "GetRoleCredentials");
    }
    auto answer = nlohmann::json::parse(response.body, nullptr, false);
    if (!answer.is_object() || !answer.contains("roleCredentials"))
      throw CredentialsError(where + ": the SSO portal answered without credentials");
    const auto& role_credentials = answer["roleCredentials"];
    auto text = [&](const char* key) {
      return role_credentials.contains(key) && role_credentials[key].is_string()
                 ? role_credentials[key].get<std::string>()
                 : "";
    };
    Credentials credentials{text("accessKeyId"), text("secretAccessKey"), text("sessionToken"), std::nullopt, "sso"};
    if (role_credentials.contains("expiration")) {
      // Milliseconds since 1970; a fraction or a time the clock cannot hold
      // is an answer we cannot trust.
      const auto& expiration = role_credentials["expiration"];
      credentials.expiration =
          expiration.is_number_integer() ? time_from_epoch_millis(expiration.get<long long>()) : std::nullopt;
      if (!credentials.expiration)
        throw CredentialsError(where +
                               ": the SSO portal answered an expiration that is not a time: " + expiration.dump());
    }
    if (credentials.access_key_id.empty())
      throw CredentialsError(where + ": the SSO portal answered without credentials");
    return credentials;
  };
  return std::make_shared<RefreshingCredentialsProvider>(fetch);
}

}  // namespace qvn::aws
