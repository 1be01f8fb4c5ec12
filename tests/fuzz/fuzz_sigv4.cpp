// SigV4 over arbitrary methods, paths, queries and headers: signing never
// crashes, and signing the same request twice gives the same signature.
#include <cstddef>
#include <cstdint>

#include "aws/sigv4.hpp"
#include "fuzz_support.hpp"

using namespace qvn::aws;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto f = qvn::fuzz::split_fields(data, size, 6);
  sigv4::SignableRequest request;
  request.method = f[0];
  request.path = f[1];
  request.query = f[2];
  request.payload_hash = sigv4::sha256_hex(f[5]);
  request.headers = {{"Host", "example.amazonaws.com"}, {"X-Amz-Date", "20240115T120000Z"}};
  // Header lines "name:value" separated by newlines.
  size_t start = 0;
  while (start < f[3].size()) {
    size_t end = f[3].find('\n', start);
    if (end == std::string::npos) end = f[3].size();
    const std::string line = f[3].substr(start, end - start);
    const size_t colon = line.find(':');
    request.headers.emplace_back(line.substr(0, colon), colon == std::string::npos ? "" : line.substr(colon + 1));
    start = end + 1;
  }
  const sigv4::Scope scope{"20240115T120000Z", "us-east-1", f[4].empty() ? "ec2" : f[4]};
  const sigv4::SigningCredentials creds{"AKIDEXAMPLE", "wJalrXUtnFEMI/K7MDENG+bPxRfiCYEXAMPLEKEY", ""};
  for (bool double_encode : {true, false}) {
    sigv4::SignOptions options;
    options.double_encode_path = double_encode;
    const auto a = sigv4::sign(request, creds, scope, options);
    const auto b = sigv4::sign(request, creds, scope, options);
    qvn::fuzz::check(a.signature == b.signature && a.canonical_request == b.canonical_request,
                     "signing is not deterministic");
    qvn::fuzz::check(a.signature.size() == 64, "signature is not 32 bytes of hex");
  }
  (void)sigv4::uri_encode(f[1], true);
  (void)sigv4::uri_encode(f[2], false);
  return 0;
}
