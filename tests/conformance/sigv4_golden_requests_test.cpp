// Every signature of the golden requests, reproduced by the signer fed the
// recorded method, URL, headers and body.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "aws/sigv4.hpp"

namespace {

using namespace qvn::aws::sigv4;

nlohmann::json load_requests() {
  std::ifstream in(std::string(QVN_FIXTURES_DIR) + "/requests.json");
  return nlohmann::json::parse(in);
}

TEST(Sigv4GoldenRequests, SignerReproducesEverySignature) {
  auto document = load_requests();
  ASSERT_EQ(document["cases"].size(), 62u);
  for (const auto& c : document["cases"]) {
    SCOPED_TRACE(c["id"].get<std::string>());
    SignableRequest request;
    request.method = c["method"];
    request.path = c["path"];
    request.query = c["query"];
    std::string authorization;
    std::string content_sha;
    for (const auto& header : c["headers"]) {
      std::string name = header[0];
      if (name == "Authorization") {
        authorization = header[1];
        continue;
      }
      if (name == "X-Amz-Content-SHA256") content_sha = header[1];
      request.headers.emplace_back(name, header[1].get<std::string>());
    }
    std::string body = c["body"];
    request.payload_hash = content_sha.empty() ? sha256_hex(body) : content_sha;
    SigningCredentials credentials{c["credentials"]["access_key_id"], c["credentials"]["secret_access_key"],
                                   c["credentials"]["session_token"].is_null()
                                       ? std::string()
                                       : c["credentials"]["session_token"].get<std::string>()};
    Scope scope{c["timestamp"], c["signing"]["region"], c["signing"]["service"]};
    SignOptions options;
    options.double_encode_path = c["service"] != "s3";
    Signature signature = sign(request, credentials, scope, options);
    EXPECT_EQ(signature.canonical_request, c["signing"]["canonical_request"].get<std::string>());
    EXPECT_EQ(signature.string_to_sign, c["signing"]["string_to_sign"].get<std::string>());
    EXPECT_EQ(signature.signature, c["signing"]["signature"].get<std::string>());
    EXPECT_EQ(signature.authorization, authorization);
    EXPECT_EQ(sha256_hex(body), c["body_sha256"].get<std::string>());
  }
}

}  // namespace
