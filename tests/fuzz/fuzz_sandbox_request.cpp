// The sandbox's handling of one AWS request: the query form, JSON and XML
// bodies, headers and paths, for every service. Half of the inputs are
// signed with a key of the scenario so that they get past the signature
// check into the services themselves. Whatever comes in, the answer is a
// status of 2xx, 3xx or 4xx, or 501 for what the sandbox does not model and
// 503 for throttling: any other 5xx means the sandbox failed on it.
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>

#include <httplib.h>

#include "aws/sigv4.hpp"
#include "fuzz_support.hpp"
#include "modules.hpp"
#include "scenario.hpp"
#include "server.hpp"

using namespace qvn;
using namespace qvn::sandbox;

namespace {

const char* const kServices[] = {"ec2", "iam", "sts", "ssm", "s3", "nosuch"};
const char* const kTypes[] = {"application/x-www-form-urlencoded; charset=utf-8", "application/x-amz-json-1.1",
                              "application/xml", ""};

SandboxServer& server() {
  static SandboxServer* s = [] {
    auto* created = new SandboxServer();
    created->add_service(make_ec2_service());
    created->add_service(make_iam_service());
    created->add_service(make_sts_service());
    created->add_service(make_ssm_service());
    created->add_service(make_s3_service());
    created->load_scenario(load_scenario_file(std::string(QVN_SOURCE_DIR) + "/sandbox/scenarios/spoke.json"));
    return created;
  }();
  return *s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t control = data[0];
  const auto f = fuzz::split_fields(data + 1, size - 1, 5);
  const std::string service = kServices[(control & 0x7) % 6];
  const bool sign = (control & 0x8) == 0;
  const std::string method = f[0].empty() ? "POST" : f[0];
  std::string target = f[1].empty() ? "/" : f[1];
  if (target.front() != '/') target = "/" + target;

  httplib::Request req;
  req.method = method;
  req.target = target;
  req.path = target.substr(0, target.find('?'));
  req.body = f[4];
  const std::string content_type = kTypes[(control >> 4) % 4];
  std::vector<std::pair<std::string, std::string>> headers = {{"Host", "127.0.0.1:1"}};
  if (!content_type.empty()) headers.emplace_back("Content-Type", content_type);
  if (!f[2].empty()) headers.emplace_back("X-Amz-Target", f[2]);
  // Extra header lines "name:value".
  size_t start = 0;
  while (start < f[3].size()) {
    size_t end = f[3].find('\n', start);
    if (end == std::string::npos) end = f[3].size();
    const std::string line = f[3].substr(start, end - start);
    const size_t colon = line.find(':');
    if (colon != std::string::npos && colon > 0) headers.emplace_back(line.substr(0, colon), line.substr(colon + 1));
    start = end + 1;
  }
  if (sign) {
    aws::sigv4::SignableRequest signable;
    signable.method = method;
    signable.path = req.path;
    signable.query = target.find('?') == std::string::npos ? "" : target.substr(target.find('?') + 1);
    const std::string date = aws::sigv4::amz_date(static_cast<long long>(std::time(nullptr)));
    headers.emplace_back("X-Amz-Date", date);
    signable.headers = headers;
    signable.payload_hash = aws::sigv4::sha256_hex(req.body);
    if (service == "s3") headers.emplace_back("x-amz-content-sha256", signable.payload_hash);
    signable.headers = headers;
    aws::sigv4::SignOptions options;
    options.double_encode_path = service != "s3";
    const auto sig =
        aws::sigv4::sign(signable, {"AKIAQVNSANDBOX0CI001", "qvnSandboxSecretKeyForCiUser0000000000001", ""},
                         {date, "us-east-1", service}, options);
    headers.emplace_back("Authorization", sig.authorization);
  }
  for (const auto& [k, v] : headers) req.headers.emplace(k, v);

  // Every input meets the same world: a finding replays alone, and what one
  // input leaves behind is never mistaken for a leak of the next.
  server().reset();
  httplib::Response res;
  server().serve_aws(req, res);
  if (res.status >= 500 && res.status != 501 && res.status != 503) {
    std::fprintf(stderr, "sandbox answered %d: %s\n", res.status, res.body.c_str());
    fuzz::check(false, "the sandbox failed on a request");
  }
  return 0;
}
