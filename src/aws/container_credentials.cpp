// Container credentials: the endpoint the container's agent serves, with its
// authorization token.
#include <fstream>
#include <regex>
#include <sstream>

#include "aws/errors.hpp"
#include "aws/remote_credentials.hpp"
#include "aws/text_codec.hpp"
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
    request.headers.emplace_back("Authorization", text::trim(read_text_file(*token_file, "the container token file")));
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

}  // namespace qvn::aws
