// Error documents of every protocol, read from AWS's own samples.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "aws/errors.hpp"
#include "aws/protocol.hpp"
#include "awscore_test_support.hpp"

namespace qvn::aws {
namespace {

namespace fs = std::filesystem;
using testing::read_file;

const fs::path kResponses = fs::path(QVN_FIXTURES_DIR) / "responses";

TEST(ServiceErrorParsing, XmlSamplesOfEveryShapeGiveCodeMessageAndRequestId) {
  int checked = 0;
  for (const auto& entry : fs::directory_iterator(kResponses / "aws-samples/xml/errors")) {
    if (entry.path().extension() != ".xml") continue;
    SCOPED_TRACE(entry.path().filename().string());
    auto expected = nlohmann::json::parse(read_file(fs::path(entry.path()).replace_extension(".json")));
    Protocol protocol = entry.path().filename().string().starts_with("ec2")  ? Protocol::Ec2
                        : entry.path().filename().string().starts_with("s3") ? Protocol::RestXml
                                                                             : Protocol::Query;
    ServiceErrorInfo info = parse_error_response(protocol, 400, {}, read_file(entry.path()));
    EXPECT_EQ(info.code, expected["Error"]["Code"].get<std::string>());
    EXPECT_EQ(info.message, expected["Error"].value("Message", ""));
    if (expected["ResponseMetadata"].contains("RequestId")) {
      EXPECT_EQ(info.request_id, expected["ResponseMetadata"]["RequestId"].get<std::string>());
    }
    if (expected["Error"].contains("Type")) {
      EXPECT_EQ(info.error_type, expected["Error"]["Type"].get<std::string>());
    }
    ++checked;
  }
  EXPECT_GE(checked, 12);
}

TEST(ServiceErrorParsing, JsonSamplesStripTheTypePrefix) {
  int checked = 0;
  for (const auto& entry : fs::directory_iterator(kResponses / "aws-samples/json/errors")) {
    SCOPED_TRACE(entry.path().filename().string());
    auto expected =
        nlohmann::json::parse(read_file(kResponses / "aws-samples/json/expected" / entry.path().filename()));
    ServiceErrorInfo info = parse_error_response(Protocol::Json, 400, {}, read_file(entry.path()));
    EXPECT_EQ(info.code, expected["Error"]["Code"].get<std::string>());
    EXPECT_EQ(info.message, expected["Error"].value("Message", ""));
    ++checked;
  }
  EXPECT_EQ(checked, 5);
}

TEST(ServiceErrorParsing, BuiltErrorBodiesOfTheToolkitsOperations) {
  int checked = 0;
  for (const auto& entry : fs::directory_iterator(kResponses / "built")) {
    std::string name = entry.path().filename().string();
    if (name.find("#error-") == std::string::npos || !name.ends_with(".parsed.json")) continue;
    SCOPED_TRACE(name);
    auto expected = nlohmann::json::parse(read_file(entry.path()));
    HeaderList headers;
    for (const auto& [key, value] : expected["http_headers"].items())
      headers.emplace_back(key, value.get<std::string>());
    std::string protocol_name = expected["protocol"];
    Protocol protocol = protocol_name == "ec2"     ? Protocol::Ec2
                        : protocol_name == "query" ? Protocol::Query
                        : protocol_name == "json"  ? Protocol::Json
                                                   : Protocol::RestXml;
    ServiceErrorInfo info =
        parse_error_response(protocol, expected["http_status"], headers,
                             read_file(kResponses / "built" / expected["body_file"].get<std::string>()));
    const auto& parsed = expected["parsed"];
    EXPECT_EQ(info.code, parsed["Error"]["Code"].get<std::string>());
    EXPECT_EQ(info.message, parsed["Error"].value("Message", ""));
    EXPECT_EQ(info.request_id, parsed["ResponseMetadata"].value("RequestId", ""));
    ++checked;
  }
  EXPECT_GE(checked, 15);
}

TEST(ServiceErrorParsing, S3RedirectCarriesTheBucketRegion) {
  ServiceErrorInfo info =
      parse_error_response(Protocol::RestXml, 301, {{"x-amz-bucket-region", "eu-west-2"}, {"x-amz-request-id", "R1"}},
                           read_file(kResponses / "built/s3-list-objects-v2#error-permanent-redirect.xml"));
  EXPECT_EQ(info.code, "PermanentRedirect");
  EXPECT_EQ(info.bucket_region, "eu-west-2");
  EXPECT_FALSE(info.request_id.empty());
}

TEST(ServiceErrorParsing, MissingOrForeignBodiesFallBackToTheStatus) {
  auto head = parse_error_response(Protocol::RestXml, 404, {{"x-amz-request-id", "REQ"}}, "");
  EXPECT_EQ(head.code, "404");
  EXPECT_EQ(head.message, "Not Found");
  EXPECT_EQ(head.request_id, "REQ");
  auto proxy = parse_error_response(Protocol::Ec2, 503, {}, "<html><body>busy</body></html>");
  EXPECT_EQ(proxy.code, "503");
  EXPECT_EQ(proxy.message, "Service Unavailable");
  auto garbage = parse_error_response(Protocol::Query, 500, {}, "not xml at all <");
  EXPECT_EQ(garbage.code, "500");
  auto json = parse_error_response(Protocol::Json, 400, {{"x-amzn-RequestId", "J1"}}, "{}");
  EXPECT_EQ(json.code, "400");
  EXPECT_EQ(json.request_id, "J1");
  auto newer = parse_error_response(Protocol::Json, 400, {},
                                    R"({"__type":"com.amazon#ValidationException:http://internal","Message":"m"})");
  EXPECT_EQ(newer.code, "ValidationException");
  EXPECT_EQ(newer.message, "m");
}

TEST(ServiceErrorText, ReadsLikeTheSdksAndKeepsEveryField) {
  ServiceErrorInfo info;
  info.status = 400;
  info.code = "InvalidKeyPair.Duplicate";
  info.message = "The keypair already exists";
  info.request_id = "abc";
  ServiceError error(info, "ec2", "CreateKeyPair");
  EXPECT_STREQ(error.what(),
               "An error occurred (InvalidKeyPair.Duplicate) when calling the CreateKeyPair operation: "
               "The keypair already exists");
  EXPECT_EQ(error.status(), 400);
  EXPECT_EQ(error.service(), "ec2");
  EXPECT_EQ(error.operation(), "CreateKeyPair");
  EXPECT_EQ(error.request_id(), "abc");
}

}  // namespace
}  // namespace qvn::aws
