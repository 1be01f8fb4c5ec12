// The credential sources reached over HTTP: the metadata service's role
// name and credential document, the container endpoint's answer, and the
// SSO login's token cache with the portal's answer. Whatever they hold, the
// result is credentials with an access key or an AwsError.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

#include "aws/errors.hpp"
#include "aws/remote_credentials.hpp"
#include "aws/text_codec.hpp"
#include "core/clock.hpp"
#include "fuzz_support.hpp"

using namespace qvn;
using namespace qvn::aws;

namespace {

const long kStatuses[] = {200, 200, 200, 404, 400, 500, 401, 200};

// Answers each request by what it asks for, from the fields of one input.
class ScriptedTransport : public http::HttpTransport {
 public:
  ScriptedTransport(std::string role, std::string document, std::string portal, long status)
      : role_(std::move(role)), document_(std::move(document)), portal_(std::move(portal)), status_(status) {}

  http::HttpResponse send(const http::HttpRequest& request) override {
    if (request.url.find("/api/token") != std::string::npos) return {200, {}, "fuzz-token"};
    if (request.url.size() > 1 && request.url.back() == '/') return {200, {}, role_};
    if (request.url.find("/federation/") != std::string::npos) return {status_, {}, portal_};
    return {status_, {}, document_};
  }

 private:
  std::string role_, document_, portal_;
  long status_;
};

void check_credentials(const std::shared_ptr<CredentialsProvider>& provider) {
  if (!provider) return;
  try {
    const Credentials c = provider->credentials();
    fuzz::check(!c.access_key_id.empty(), "credentials without an access key");
  } catch (const AwsError&) {
  }
}

const std::string& home() {
  static const std::string folder = [] {
    const std::string path = "/tmp/qvn-fuzz-home-" + std::to_string(::getpid());
    std::filesystem::create_directories(path + "/.aws/sso/cache");
    ::setenv("HOME", path.c_str(), 1);
    ::setenv("AWS_CONTAINER_CREDENTIALS_FULL_URI", "http://127.0.0.1/credentials", 1);
    ::unsetenv("AWS_CONTAINER_CREDENTIALS_RELATIVE_URI");
    ::unsetenv("AWS_CONTAINER_AUTHORIZATION_TOKEN");
    ::unsetenv("AWS_CONTAINER_AUTHORIZATION_TOKEN_FILE");
    core::set_sleep_function([](core::Seconds) {});  // the retries do not wait
    return path;
  }();
  return folder;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const std::string& folder = home();
  const long status = kStatuses[data[0] % 8];
  const auto f = fuzz::split_fields(data + 1, size - 1, 4);
  auto transport = std::make_shared<ScriptedTransport>(f[0], f[1], f[3], status);

  ImdsSettings imds;
  imds.endpoint = "http://127.0.0.1";
  check_credentials(instance_role_provider(transport, imds));
  check_credentials(container_credentials_provider(transport));

  const SharedConfig config = SharedConfig::from_text(
      "[profile s]\nsso_start_url = https://example.awsapps.com/start\nsso_region = us-east-1\n"
      "sso_account_id = 123456789012\nsso_role_name = Tester\n",
      "");
  std::ofstream(folder + "/.aws/sso/cache/" + text::sha1_hex("https://example.awsapps.com/start") + ".json",
                std::ios::binary | std::ios::trunc)
      << f[2];
  check_credentials(sso_credentials_provider(config, config.profile("s"), "s", transport, "http://127.0.0.1"));
  return 0;
}
