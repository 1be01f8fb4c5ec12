// Answers as AWS-compatible services send them, read as the AWS SDKs read
// them: booleans in any case, numbers with blanks, empty elements, times in
// every form AWS uses, and no odd member that fails a whole call.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "aws/ec2.hpp"
#include "aws/iam.hpp"
#include "aws/s3.hpp"
#include "aws/ssm.hpp"
#include "aws/timestamp.hpp"
#include "services_support.hpp"

namespace qvn::aws::testing {
namespace {

std::string ec2_answer(const std::string& operation, const std::string& inner) {
  return "<" + operation + "Response xmlns=\"http://ec2.amazonaws.com/doc/2016-11-15/\"><requestId>r</requestId>" +
         inner + "</" + operation + "Response>";
}

template <class Client>
Client client_answering(const std::string& body, HeaderList headers = {}) {
  auto sender = std::make_shared<RecordingSender>(Client::service_id());
  sender->fallback.body = body;
  sender->fallback.headers = std::move(headers);
  return Client(sender);
}

core::TimePoint at(long long seconds) { return core::TimePoint(std::chrono::seconds(seconds)); }

TEST(LenientXml, BooleansAreTrueInAnyCaseAndFalseOtherwise) {
  const auto ec2 = client_answering<Ec2Client>(
      ec2_answer("DescribeNetworkInterfaces",
                 "<networkInterfaceSet>"
                 "<item><networkInterfaceId>eni-1</networkInterfaceId><requesterManaged>False</requesterManaged>"
                 "<sourceDestCheck>TRUE</sourceDestCheck></item>"
                 "<item><networkInterfaceId>eni-2</networkInterfaceId><requesterManaged> true </requesterManaged>"
                 "<sourceDestCheck>yes</sourceDestCheck></item>"
                 "</networkInterfaceSet>"));
  const auto answer = ec2.describe_network_interfaces({}, Pages::One);
  ASSERT_EQ(answer.NetworkInterfaces.size(), 2u);
  EXPECT_EQ(answer.NetworkInterfaces[0].RequesterManaged, false);
  EXPECT_EQ(answer.NetworkInterfaces[0].SourceDestCheck, true);
  EXPECT_EQ(answer.NetworkInterfaces[1].RequesterManaged, true);
  EXPECT_EQ(answer.NetworkInterfaces[1].SourceDestCheck, false);
}

TEST(LenientXml, NumbersWithBlanksAndEmptyOrUnreadableScalarsNeverFailTheAnswer) {
  const auto ec2 = client_answering<Ec2Client>(
      ec2_answer("DescribeSubnets",
                 "<subnetSet><item><subnetId>subnet-1</subnetId><cidrBlock>10.0.1.0/24</cidrBlock>"
                 "<availableIpAddressCount>\n  251 \n</availableIpAddressCount><defaultForAz/>"
                 "<mapPublicIpOnLaunch></mapPublicIpOnLaunch><state></state></item>"
                 "<item><subnetId>subnet-2</subnetId><availableIpAddressCount>lots</availableIpAddressCount>"
                 "<ownerId/></item></subnetSet>"));
  const auto answer = ec2.describe_subnets({}, Pages::One);
  ASSERT_EQ(answer.Subnets.size(), 2u);
  const Subnet& first = answer.Subnets[0];
  EXPECT_EQ(first.AvailableIpAddressCount, 251);
  EXPECT_FALSE(first.DefaultForAz);  // empty boolean: not sent
  EXPECT_FALSE(first.MapPublicIpOnLaunch);
  EXPECT_EQ(first.State, "");  // empty text: an empty string, not absent
  EXPECT_EQ(first.CidrBlock, "10.0.1.0/24");
  EXPECT_FALSE(answer.Subnets[1].AvailableIpAddressCount);  // unreadable: not sent
  EXPECT_EQ(answer.Subnets[1].OwnerId, "");
  EXPECT_EQ(answer.Subnets[1].SubnetId, "subnet-2");
}

TEST(LenientXml, QueryAndRestXmlAnswersFollowTheSameRules) {
  const auto iam = client_answering<IamClient>(
      "<ListPoliciesResponse><ListPoliciesResult><IsTruncated>False</IsTruncated><Policies><member>"
      "<PolicyName>p</PolicyName><AttachmentCount> 2 </AttachmentCount><IsAttachable>True</IsAttachable>"
      "<PermissionsBoundaryUsageCount>+0</PermissionsBoundaryUsageCount></member></Policies>"
      "</ListPoliciesResult></ListPoliciesResponse>");
  const auto policies = iam.list_policies({}, Pages::One);
  ASSERT_EQ(policies.Policies.size(), 1u);
  EXPECT_EQ(policies.IsTruncated, false);
  EXPECT_EQ(policies.Policies[0].AttachmentCount, 2);
  EXPECT_EQ(policies.Policies[0].IsAttachable, true);
  EXPECT_EQ(policies.Policies[0].PermissionsBoundaryUsageCount, 0);

  const auto s3 = client_answering<S3Client>(
      "<ListBucketResult><IsTruncated>FALSE</IsTruncated><KeyCount> 1 </KeyCount><MaxKeys/>"
      "<Contents><Key>a</Key><Size>12 </Size><LastModified>2024-01-15T12:00:00.000Z</LastModified></Contents>"
      "</ListBucketResult>");
  const auto listed = s3.list_objects_v2({.Bucket = "b"});
  EXPECT_EQ(listed.IsTruncated, false);
  EXPECT_EQ(listed.KeyCount, 1);
  EXPECT_FALSE(listed.MaxKeys);
  ASSERT_EQ(listed.Contents.size(), 1u);
  EXPECT_EQ(listed.Contents[0].Size, 12);

  const auto deleted = client_answering<S3Client>("", {{"x-amz-delete-marker", "True"}})
                           .delete_object({.Bucket = "b", .Key = "k", .VersionId = std::nullopt});
  EXPECT_EQ(deleted.DeleteMarker, true);
}

TEST(LenientJson, ScalarsAsTextAndTimesInEitherFormAreRead) {
  const auto read = [](const std::string& body) {
    return client_answering<SsmClient>(body).get_parameter({.Name = "/p", .WithDecryption = true});
  };
  auto answer = read(R"({"Parameter": {"Name": "/p", "Value": "v", "Version": " 3 ",
                         "LastModifiedDate": "2024-01-15T12:00:00Z"}})");
  ASSERT_TRUE(answer.Parameter);
  EXPECT_EQ(answer.Parameter->Version, 3);
  EXPECT_DOUBLE_EQ(answer.Parameter->LastModifiedDate.value_or(0), 1705320000.0);

  answer = read(R"({"Parameter": {"Name": "/p", "Version": 4.0, "LastModifiedDate": 1.7053200005E9}})");
  EXPECT_EQ(answer.Parameter->Version, 4);
  EXPECT_DOUBLE_EQ(answer.Parameter->LastModifiedDate.value_or(0), 1705320000.5);

  // Members of an unexpected type or value are taken as not sent; the
  // members beside them are still read.
  answer = read(R"({"Parameter": {"Name": "/p", "Version": "three", "LastModifiedDate": {"at": 1},
                    "Value": 5, "Type": "SecureString"}})");
  EXPECT_FALSE(answer.Parameter->Version);
  EXPECT_FALSE(answer.Parameter->LastModifiedDate);
  EXPECT_FALSE(answer.Parameter->Value);
  EXPECT_EQ(answer.Parameter->Type, "SecureString");
}

TEST(Timestamps, EveryFormAwsSendsIsRead) {
  const core::TimePoint noon = at(1705320000);  // 2024-01-15T12:00:00Z
  EXPECT_EQ(parse_timestamp("2024-01-15T12:00:00Z"), noon);
  EXPECT_EQ(parse_timestamp("2024-01-15T12:00:00.000Z"), noon);
  EXPECT_EQ(parse_timestamp("2024-01-15T12:00:00"), noon);
  EXPECT_EQ(parse_timestamp(" 2024-01-15T14:30:00+02:30 "), noon);
  EXPECT_EQ(parse_timestamp("2024-01-15T07:00:00-0500"), noon);
  EXPECT_EQ(parse_timestamp("2024-01-15T13:00:00+01"), noon);
  EXPECT_EQ(parse_timestamp("Mon, 15 Jan 2024 12:00:00 GMT"), noon);
  EXPECT_EQ(parse_timestamp("15 Jan 2024 12:00:00 GMT"), noon);
  EXPECT_EQ(parse_timestamp("1705320000"), noon);
  EXPECT_EQ(parse_timestamp("2024-01-15T12:00:00.250Z"), noon + std::chrono::milliseconds(250));
  EXPECT_EQ(parse_timestamp("1705320000.25"), noon + std::chrono::milliseconds(250));
  EXPECT_EQ(json_timestamp(nlohmann::json(1705320000.5)), noon + std::chrono::milliseconds(500));
  EXPECT_EQ(json_timestamp(nlohmann::json("2024-01-15T12:00:00Z")), noon);
}

TEST(Timestamps, WhatIsNoTimeOrOutOfTheClocksYearsIsRefused) {
  for (const char* text : {"", "yesterday", "2024-13-01T00:00:00Z", "2024-02-30T00:00:00Z", "2024-01-15T25:00:00Z",
                           "2024-01-15T12:00:00+2", "2024-01-15T12:00:00Zjunk", "Mon, 15 Foo 2024 12:00:00 GMT",
                           "1e300", "-5", "5345-01-01T00:00:00Z", "nan"}) {
    EXPECT_FALSE(parse_timestamp(text)) << text;
  }
  EXPECT_FALSE(json_timestamp(nlohmann::json(nullptr)));
  EXPECT_FALSE(json_timestamp(nlohmann::json::array()));
  EXPECT_FALSE(time_from_epoch_millis(-1));
}

}  // namespace
}  // namespace qvn::aws::testing
