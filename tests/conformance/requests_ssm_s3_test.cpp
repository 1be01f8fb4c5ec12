// Our SSM JSON bodies and S3 methods, paths, queries and checksums against
// the golden requests serialised by the reference SDK.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include <unistd.h>
#include "aws/s3_json.hpp"
#include "aws/ssm_json.hpp"
#include "aws/text_codec.hpp"
#include "services_support.hpp"

namespace qvn::aws::testing {
namespace {

TEST(SsmGoldenRequests, BodiesAndProtocolHeadersMatch) {
  const auto cases = golden_cases("ssm");
  ASSERT_GE(cases.size(), 4u);
  for (const auto& c : cases) {
    SCOPED_TRACE(c["id"].get<std::string>());
    const auto sent = send_golden<SsmClient>(c, ssm_json_operations, OperationResponse{200, {}, "{}"});
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].operation, c["operation"].get<std::string>());
    EXPECT_EQ(Json::parse(sent[0].body), Json::parse(c["body"].get<std::string>()));
    // Same bytes too, so that the payload hash (and so the signature) can match.
    EXPECT_EQ(sent[0].body, c["body"].get<std::string>());
    for (const char* name : {"X-Amz-Target", "Content-Type"}) {
      std::string golden;
      for (const auto& h : c["headers"]) {
        if (h[0] == name) golden = h[1];
      }
      std::string ours;
      for (const auto& [k, v] : sent[0].headers) {
        if (k == name) ours = v;
      }
      EXPECT_EQ(ours, golden) << name;
    }
  }
}

// The key part of a golden S3 path: path-style puts the bucket first.
std::string key_path(const Json& c) {
  std::string path = c["path"];
  const std::string bucket = c["params"]["Bucket"];
  if (path.rfind("/" + bucket, 0) == 0) path = path.substr(bucket.size() + 1);
  return path == "/" ? "" : path;
}

class S3GoldenRequests : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() / ("qvn-s3-golden-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::filesystem::path dir_;
};

TEST_F(S3GoldenRequests, MethodPathQueryAndChecksumMatch) {
  const auto cases = golden_cases("s3");
  ASSERT_GE(cases.size(), 10u);
  const std::string upload = (dir_ / "upload.txt").string();
  for (const auto& c : cases) {
    SCOPED_TRACE(c["id"].get<std::string>());
    const std::string op = c["operation"];
    Json input = c["params"];
    if (op == "PutObject") {
      std::ofstream(upload, std::ios::binary) << input["Body"].get<std::string>();
      input = {{"Filename", upload}, {"Bucket", input["Bucket"]}, {"Key", input["Key"]}};
    } else if (op == "GetObject") {
      input = {{"Bucket", input["Bucket"]}, {"Key", input["Key"]}, {"Filename", (dir_ / "download.txt").string()}};
    }
    Json tweaked = c;
    tweaked["params"] = input;
    const auto sent =
        send_golden<S3Client>(tweaked, s3_json_operations, OperationResponse{200, {}, "<ListBucketResult/>"});
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].operation, op);
    EXPECT_EQ(sent[0].method, c["method"].get<std::string>());
    EXPECT_EQ(sent[0].bucket, c["params"]["Bucket"].get<std::string>());
    EXPECT_EQ(sent[0].path, key_path(c));
    HeaderList golden_query;
    if (c.contains("query_fields")) {
      for (const auto& f : c["query_fields"]) golden_query.emplace_back(f[0], f[1]);
    }
    EXPECT_EQ(sent[0].query, golden_query);
    if (op == "PutObject") {
      std::string md5;
      for (const auto& h : c["headers"]) {
        if (h[0] == "Content-MD5") md5 = h[1];
      }
      ASSERT_FALSE(md5.empty());
      EXPECT_EQ(http::find_header(sent[0].headers, "Content-MD5"), md5);
      EXPECT_EQ(sent[0].upload_file, upload);
    }
    if (op == "GetObject") {
      EXPECT_FALSE(sent[0].download_file.empty());
    }
  }
}

}  // namespace
}  // namespace qvn::aws::testing
