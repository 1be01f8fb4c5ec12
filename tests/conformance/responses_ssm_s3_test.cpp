// Our SSM and S3 parsers against the response bodies validated with the
// reference SDK.
#include <gtest/gtest.h>

#include <cmath>

#include "aws/s3.hpp"
#include "aws/shape_json.hpp"
#include "aws/ssm.hpp"
#include "services_support.hpp"

namespace qvn::aws::testing {
namespace {

Json built_doc(const std::string& name) {
  return Json::parse(read_file(fixture_path("responses/built/" + name + ".parsed.json")));
}

std::string built_body(const Json& doc) {
  return read_file(fixture_path("responses/built/" + doc["body_file"].get<std::string>()));
}

// The reference parse turns LastModifiedDate into a date; we keep SSM's
// number. Checks the number against the date, then drops both.
void check_and_drop_dates(Json& ours, Json& expected) {
  if (ours.is_object() && expected.is_object()) {
    if (ours.contains("LastModifiedDate")) {
      ASSERT_TRUE(expected.contains("LastModifiedDate"));
      const std::string date = expected["LastModifiedDate"];
      // "2024-01-15T11:50:00.123000+00:00": only the seconds within the day are compared
      const double seconds = std::stod(date.substr(17, 9));
      const double ours_seconds = std::fmod(ours["LastModifiedDate"].get<double>(), 60.0);
      EXPECT_NEAR(ours_seconds, seconds, 1e-3) << date;
      ours.erase("LastModifiedDate");
      expected.erase("LastModifiedDate");
    }
    for (auto& [key, value] : ours.items()) {
      if (expected.contains(key)) check_and_drop_dates(value, expected[key]);
    }
  } else if (ours.is_array() && expected.is_array() && ours.size() == expected.size()) {
    for (std::size_t i = 0; i < ours.size(); ++i) check_and_drop_dates(ours[i], expected[i]);
  }
}

template <class Result, class Call>
Result check_ssm(const std::string& name, Call call) {
  const Json doc = built_doc(name);
  auto sender = std::make_shared<RecordingSender>(SsmClient::service_id());
  sender->fallback.body = built_body(doc);
  const SsmClient ssm(sender);
  const Result result = call(ssm);
  Json ours = shape::to_json(result);
  Json expected = doc["parsed"];
  expected.erase("ResponseMetadata");
  check_and_drop_dates(ours, expected);
  EXPECT_TRUE(same_json(ours, shape::to_json(shape::from_json_lenient<Result>(expected))));
  return result;
}

TEST(SsmResponses, BodiesParseLikeTheReference) {
  const auto one = check_ssm<GetParameterResult>("ssm-get-parameter", [](const SsmClient& ssm) {
    return ssm.get_parameter({"/quorvane/workflow/secrets/wf-key", true});
  });
  ASSERT_TRUE(one.Parameter);
  EXPECT_EQ(one.Parameter->Value, "wf-3c1e9a7b5d2f4e6a8c0b-EXAMPLE");
  EXPECT_EQ(one.Parameter->Version, 3);
  EXPECT_FALSE(one.Parameter->Selector) << "absent members stay absent";

  const auto page = check_ssm<GetParametersByPathResult>("ssm-get-parameters-by-path", [](const SsmClient& ssm) {
    return ssm.get_parameters_by_path({.Path = "/aws/service/ami-amazon-linux-latest"}, Pages::One);
  });
  ASSERT_FALSE(page.Parameters.empty());
  EXPECT_TRUE(page.NextToken);
  EXPECT_TRUE(page.Parameters[0].Name && page.Parameters[0].Value);
  const auto last = check_ssm<GetParametersByPathResult>(
      "ssm-get-parameters-by-path#last-page",
      [](const SsmClient& ssm) { return ssm.get_parameters_by_path({.Path = "/a"}, Pages::One); });
  EXPECT_FALSE(last.NextToken);
}

TEST(SsmResponses, GetParametersByPathFollowsNextToken) {
  auto sender = std::make_shared<RecordingSender>(SsmClient::service_id());
  sender->replies.push_back({200, {}, built_body(built_doc("ssm-get-parameters-by-path"))});
  sender->replies.push_back({200, {}, built_body(built_doc("ssm-get-parameters-by-path#last-page"))});
  const SsmClient ssm(sender);
  const auto all = ssm.get_parameters_by_path({.Path = "/aws/service/ami-amazon-linux-latest"});
  ASSERT_EQ(sender->sent.size(), 2u);
  const Json first_page = built_doc("ssm-get-parameters-by-path")["parsed"];
  EXPECT_EQ(Json::parse(sender->sent[1].body)["NextToken"], first_page["NextToken"]);
  EXPECT_EQ(Json::parse(sender->sent[1].body)["Path"], "/aws/service/ami-amazon-linux-latest");
  EXPECT_EQ(all.Parameters.size(),
            first_page["Parameters"].size() +
                built_doc("ssm-get-parameters-by-path#last-page")["parsed"]["Parameters"].size());
  EXPECT_FALSE(all.NextToken);
}

ListObjectsV2Result check_list(const std::string& name) {
  const Json doc = built_doc(name);
  auto sender = std::make_shared<RecordingSender>(S3Client::service_id());
  sender->fallback.body = built_body(doc);
  const S3Client s3(sender);
  const auto result = s3.list_objects_v2({.Bucket = "quorvane-backups-123456789012"});
  Json expected = doc["parsed_after_botocore_handlers"];
  expected.erase("ResponseMetadata");
  EXPECT_TRUE(same_json(shape::to_json(result), expected));
  return result;
}

TEST(S3Responses, ListingsParseLikeTheReferenceWithKeysDecoded) {
  const auto first = check_list("s3-list-objects-v2");
  ASSERT_EQ(first.Contents.size(), 2u);
  EXPECT_EQ(first.Contents[1].Key, "backups/vpc-1/sub dir/a+b.txt");
  EXPECT_EQ(first.Contents[1].Size, 6);
  EXPECT_EQ(first.IsTruncated, true);
  EXPECT_TRUE(first.NextContinuationToken);

  const auto second = check_list("s3-list-objects-v2#page2");
  EXPECT_FALSE(second.NextContinuationToken);
  EXPECT_TRUE(second.ContinuationToken);

  const auto empty = check_list("s3-list-objects-v2#empty");
  EXPECT_TRUE(empty.Contents.empty());
  EXPECT_EQ(shape::to_json(empty).count("Contents"), 0u) << "an empty listing has no Contents member";
}

TEST(S3Responses, DeleteObjectReadsItsHeaders) {
  const Json doc = built_doc("s3-delete-object");
  auto sender = std::make_shared<RecordingSender>(S3Client::service_id());
  sender->fallback = {204, {}, ""};
  for (const auto& [k, v] : doc["http_headers"].items()) sender->fallback.headers.emplace_back(k, v);
  const S3Client s3(sender);
  const auto plain = s3.delete_object({"b", "k"});
  EXPECT_FALSE(plain.DeleteMarker);
  EXPECT_FALSE(plain.VersionId);

  sender->fallback.headers = {{"X-Amz-Delete-Marker", "true"}, {"x-amz-version-id", "v1"}};
  const auto versioned = s3.delete_object({"b", "k"});
  EXPECT_EQ(versioned.DeleteMarker, true);
  EXPECT_EQ(versioned.VersionId, "v1");
}

}  // namespace
}  // namespace qvn::aws::testing
