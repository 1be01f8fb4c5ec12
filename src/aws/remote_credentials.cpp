#include "aws/remote_credentials.hpp"

#include <openssl/sha.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <regex>
#include <sstream>

#include "aws/endpoints.hpp"
#include "aws/errors.hpp"
#include "aws/sigv4.hpp"
#include "core/clock.hpp"

namespace qvn::aws {
namespace {

constexpr const char* kContainerHost = "http://169.254.170.2";

std::string read_text_file(const std::string& path, const std::string& what) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw CredentialsError("cannot read " + what + " " + path);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::string trim(const std::string& text) {
  auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// AccessKeyId / SecretAccessKey / Token / Expiration, as the container and
// metadata services answer.
Credentials credentials_from_json(const std::string& body, const std::string& source) {
  auto document = nlohmann::json::parse(body, nullptr, false);
  if (!document.is_object()) throw CredentialsError("the " + source + " answered something other than JSON");
  auto text = [&](const char* key) {
    return document.contains(key) && document[key].is_string() ? document[key].get<std::string>() : "";
  };
  Credentials credentials{text("AccessKeyId"), text("SecretAccessKey"), text("Token"), std::nullopt, source};
  if (credentials.access_key_id.empty() || credentials.secret_access_key.empty()) {
    std::string code = text("Code");
    throw CredentialsError("the " + source + " returned no credentials" + (code.empty() ? "" : " (" + code + ")"));
  }
  // Services answer the expiration as ISO 8601 text; compatible ones also as
  // epoch seconds. An unreadable one leaves the credentials without expiry.
  if (document.contains("Expiration")) credentials.expiration = json_timestamp(document["Expiration"]);
  return credentials;
}

bool allowed_full_uri(const std::string& uri) {
  static const std::regex https("^https://.+", std::regex::icase);
  static const std::regex local(
      "^http://(127\\.\\d+\\.\\d+\\.\\d+|localhost|\\[::1\\]|169\\.254\\.170\\.2|169\\.254\\.170\\.23|"
      "\\[fd00:ec2::23\\])(:\\d+)?(/.*)?$",
      std::regex::icase);
  return std::regex_match(uri, https) || std::regex_match(uri, local);
}

Credentials fetch_container(const std::shared_ptr<http::HttpTransport>& transport, const std::string& url) {
  http::HttpRequest request;
  request.url = url;
  request.headers = {{"Accept", "application/json"}};
  if (auto token_file = env("AWS_CONTAINER_AUTHORIZATION_TOKEN_FILE")) {
    request.headers.emplace_back("Authorization", trim(read_text_file(*token_file, "the container token file")));
  } else if (auto token = env("AWS_CONTAINER_AUTHORIZATION_TOKEN")) {
    request.headers.emplace_back("Authorization", *token);
  }
  request.connect_timeout = std::chrono::seconds(2);
  request.read_timeout = std::chrono::seconds(2);
  std::string failure;
  for (int attempt = 1; attempt <= 3; ++attempt) {
    if (attempt > 1) core::sleep_for(core::Seconds(1));
    try {
      http::HttpResponse response = send_http(*transport, request);
      if (response.status == 200) return credentials_from_json(response.body, "container credentials endpoint");
      failure = "HTTP " + std::to_string(response.status);
    } catch (const TransportError& error) {
      failure = error.what();
    }
  }
  throw CredentialsError("cannot get container credentials (" + failure + ")");
}

}  // namespace

std::string sha1_hex(const std::string& text) {
  unsigned char digest[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest);
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (unsigned char byte : digest) {
    out.push_back(digits[byte >> 4]);
    out.push_back(digits[byte & 0x0f]);
  }
  return out;
}

std::shared_ptr<CredentialsProvider> container_credentials_provider(
    const std::shared_ptr<http::HttpTransport>& transport) {
  std::string url;
  if (auto relative = env("AWS_CONTAINER_CREDENTIALS_RELATIVE_URI")) {
    url = kContainerHost + *relative;
  } else if (auto full = env("AWS_CONTAINER_CREDENTIALS_FULL_URI")) {
    if (!allowed_full_uri(*full))
      throw CredentialsError("AWS_CONTAINER_CREDENTIALS_FULL_URI must be https or a local container address: " +
                             full->substr(0, full->find('?')));
    url = *full;
  } else {
    return nullptr;
  }
  return std::make_shared<RefreshingCredentialsProvider>([transport, url] { return fetch_container(transport, url); });
}

std::shared_ptr<CredentialsProvider> instance_role_provider(const std::shared_ptr<http::HttpTransport>& transport,
                                                            const ImdsSettings& settings) {
  if (settings.disabled) return nullptr;
  auto client = std::make_shared<ImdsClient>(transport, settings);
  const std::string base = "/latest/meta-data/iam/security-credentials/";
  auto fetch = [client, base] {
    http::HttpResponse role = client->get(base);
    std::string name = trim(role.body);
    if (role.status != 200 || name.empty())
      throw CredentialsError("the instance metadata service has no role (HTTP " + std::to_string(role.status) + ")");
    name = name.substr(0, name.find('\n'));
    http::HttpResponse answer = client->get(base + name);
    if (answer.status != 200)
      throw CredentialsError("the instance metadata service refused the role's credentials (HTTP " +
                             std::to_string(answer.status) + ")");
    Credentials credentials = credentials_from_json(answer.body, "instance metadata service");
    // Static stability: credentials about to expire are used a little
    // longer rather than asking the service again and again.
    auto floor = core::now() + std::chrono::minutes(15);
    if (credentials.expiration && *credentials.expiration < floor) {
      static thread_local std::mt19937 random{std::random_device{}()};
      credentials.expiration = floor + std::chrono::seconds(std::uniform_int_distribution<int>(120, 600)(random));
    }
    return credentials;
  };
  // The chain only settles on the metadata service when it answers.
  try {
    Credentials first = fetch();
    return std::make_shared<RefreshingCredentialsProvider>(fetch, first);
  } catch (const AwsError&) {
    return nullptr;
  }
}

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
  std::string cache_file = expand_path("~/.aws/sso/cache/" + sha1_hex(cache_key) + ".json");
  std::string portal = portal_endpoint.empty()
                           ? "https://portal.sso." + *sso_region + "." + partition_of(*sso_region).dns_suffix
                           : portal_endpoint;
  std::string url = portal + "/federation/credentials?role_name=" + sigv4::uri_encode(*role, false) +
                    "&account_id=" + sigv4::uri_encode(*account, false);
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
