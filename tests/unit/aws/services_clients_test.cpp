// The typed clients over a scripted sender: paging, idempotency tokens, S3
// key encoding and file handling, and the description-driven conversions.
#include <gtest/gtest.h>

#include <unistd.h>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>

#include "aws/ec2.hpp"
#include "aws/iam.hpp"
#include "aws/s3.hpp"
#include "aws/shape_json.hpp"
#include "services_fake_sender.hpp"

namespace qvn::aws::testing {
namespace {

std::string subnets_page(const std::string& id, const std::string& next) {
  return "<DescribeSubnetsResponse xmlns=\"http://ec2.amazonaws.com/doc/2016-11-15/\"><subnetSet><item><subnetId>" +
         id + "</subnetId></item></subnetSet>" + (next.empty() ? "" : "<nextToken>" + next + "</nextToken>") +
         "</DescribeSubnetsResponse>";
}

TEST(Paging, FollowsNextTokenUntilTheLastPage) {
  auto sender = std::make_shared<ScriptedSender>(Ec2Client::service_id());
  sender->answer(subnets_page("subnet-1", "t1"));
  sender->answer(subnets_page("subnet-2", "t2"));
  sender->answer(subnets_page("subnet-3", ""));
  const Ec2Client ec2(sender);
  const auto all = ec2.describe_subnets({.Filters = {{"vpc-id", {"vpc-1"}}}});
  ASSERT_EQ(all.Subnets.size(), 3u);
  EXPECT_EQ(all.Subnets[2].SubnetId, "subnet-3");
  EXPECT_FALSE(all.NextToken);
  ASSERT_EQ(sender->sent.size(), 3u);
  EXPECT_EQ(field(sender->sent[0].form, "NextToken"), "<absent>");
  EXPECT_EQ(field(sender->sent[1].form, "NextToken"), "t1");
  EXPECT_EQ(field(sender->sent[2].form, "NextToken"), "t2");
  EXPECT_EQ(field(sender->sent[2].form, "Filter.1.Value.1"), "vpc-1") << "every page keeps the filters";
}

TEST(Paging, OnePageWhenAskedKeepsTheToken) {
  auto sender = std::make_shared<ScriptedSender>(Ec2Client::service_id());
  sender->answer(subnets_page("subnet-2", "t2"));
  const Ec2Client ec2(sender);
  const auto page = ec2.describe_subnets({.NextToken = "t1"}, Pages::One);
  EXPECT_EQ(page.NextToken, "t2");
  ASSERT_EQ(sender->sent.size(), 1u);
  EXPECT_EQ(field(sender->sent[0].form, "NextToken"), "t1");
}

TEST(Paging, ARepeatedTokenStopsInsteadOfLooping) {
  auto sender = std::make_shared<ScriptedSender>(Ec2Client::service_id());
  sender->answer_always(subnets_page("subnet-1", "same"));
  const Ec2Client ec2(sender);
  EXPECT_THROW(ec2.describe_subnets(), PaginationError);
  EXPECT_EQ(sender->sent.size(), 2u);
}

TEST(Paging, IamFollowsMarkerOnlyWhileTruncated) {
  auto sender = std::make_shared<ScriptedSender>(IamClient::service_id());
  const auto page = [](const std::string& name, bool truncated, const std::string& marker) {
    return "<ListPoliciesResponse><ListPoliciesResult><Policies><member><PolicyName>" + name +
           "</PolicyName></member></Policies><IsTruncated>" + (truncated ? "true" : "false") + "</IsTruncated>" +
           (marker.empty() ? "" : "<Marker>" + marker + "</Marker>") + "</ListPoliciesResult></ListPoliciesResponse>";
  };
  sender->answer(page("p1", true, "m1"));
  sender->answer(page("p2", false, "stale"));  // not truncated: the marker is not followed
  const IamClient iam(sender);
  const auto all = iam.list_policies({.Scope = "Local", .OnlyAttached = true});
  ASSERT_EQ(all.Policies.size(), 2u);
  EXPECT_EQ(sender->sent.size(), 2u);
  EXPECT_EQ(field(sender->sent[1].form, "Marker"), "m1");
  EXPECT_EQ(field(sender->sent[1].form, "OnlyAttached"), "true");
}

TEST(RunInstances, ClientTokenIsFreshPerCallAndFixedInTheRequest) {
  auto sender = std::make_shared<ScriptedSender>(Ec2Client::service_id());
  sender->answer_always(
      "<RunInstancesResponse><instancesSet><item><instanceId>i-1</instanceId></item>"
      "</instancesSet></RunInstancesResponse>");
  const Ec2Client ec2(sender);
  RunInstancesRequest request{.MinCount = 1, .MaxCount = 1, .ImageId = "ami-1"};
  EXPECT_EQ(ec2.run_instances(request).Instances.at(0).InstanceId, "i-1");
  ec2.run_instances(request);
  request.ClientToken = "mine";
  ec2.run_instances(request);
  ASSERT_EQ(sender->sent.size(), 3u);
  const std::regex uuid("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
  const std::string first = field(sender->sent[0].form, "ClientToken");
  EXPECT_TRUE(std::regex_match(first, uuid)) << first;
  EXPECT_NE(first, field(sender->sent[1].form, "ClientToken"));
  EXPECT_EQ(field(sender->sent[2].form, "ClientToken"), "mine");
  // The token is part of the request handed to the sender, which resends
  // that same request on every retry.
  EXPECT_EQ(std::count_if(sender->sent[0].form.begin(), sender->sent[0].form.end(),
                          [](const auto& f) { return f.first == "ClientToken"; }),
            1);
}

TEST(RunInstances, UserDataIsSentBase64Encoded) {
  auto sender = std::make_shared<ScriptedSender>(Ec2Client::service_id());
  sender->answer("<RunInstancesResponse/>");
  const Ec2Client ec2(sender);
  ec2.run_instances({.MinCount = 1, .MaxCount = 1, .UserData = "#!/bin/sh\necho hi\n"});
  EXPECT_EQ(field(sender->sent[0].form, "UserData"), "IyEvYmluL3NoCmVjaG8gaGkK");
}

TEST(Responses, BadBodiesAreReportedNotGuessed) {
  auto sender = std::make_shared<ScriptedSender>(Ec2Client::service_id());
  const Ec2Client ec2(sender);
  sender->answer("<DescribeSubnetsResponse><subnetSet>");
  EXPECT_THROW(ec2.describe_subnets(), ResponseParseError);
  sender->answer("<DescribeVpcsResponse/>");
  EXPECT_THROW(ec2.describe_subnets(), ResponseParseError);
  // One unreadable member is taken as not sent, as the SDKs read answers:
  // the rest of the answer still counts.
  sender->answer(
      "<DescribeSubnetsResponse><subnetSet><item><subnetId>subnet-1</subnetId><availableIpAddressCount>many"
      "</availableIpAddressCount></item></subnetSet></DescribeSubnetsResponse>");
  const auto subnets = ec2.describe_subnets().Subnets;
  ASSERT_EQ(subnets.size(), 1u);
  EXPECT_EQ(subnets[0].SubnetId, "subnet-1");
  EXPECT_FALSE(subnets[0].AvailableIpAddressCount);
}

TEST(Responses, PrefixedElementsAndEmptyTextAreRead) {
  auto sender = std::make_shared<ScriptedSender>(Ec2Client::service_id());
  sender->answer(
      "<e:DescribeSubnetsResponse xmlns:e=\"urn:x\"><e:subnetSet><e:item><e:subnetId>subnet-9</e:subnetId>"
      "<e:vpcId/></e:item></e:subnetSet></e:DescribeSubnetsResponse>");
  const auto r = Ec2Client(sender).describe_subnets();
  ASSERT_EQ(r.Subnets.size(), 1u);
  EXPECT_EQ(r.Subnets[0].SubnetId, "subnet-9");
  EXPECT_EQ(r.Subnets[0].VpcId, "") << "an empty element is an empty string";
  EXPECT_FALSE(r.Subnets[0].CidrBlock) << "a missing element stays absent";
}

TEST(S3Keys, PathEncodingKeepsSlashesAndUnreservedCharacters) {
  EXPECT_EQ(s3_key_path("backups/vpc-1/sub dir/a+b.txt"), "/backups/vpc-1/sub%20dir/a%2Bb.txt");
  EXPECT_EQ(s3_key_path("a~b_c-d.e"), "/a~b_c-d.e");
  EXPECT_EQ(s3_key_path("caf\xC3\xA9=1&x?y#z%"), "/caf%C3%A9%3D1%26x%3Fy%23z%25");
  EXPECT_EQ(s3_key_path("/lead//double"), "//lead//double");
}

TEST(S3Keys, ListedKeysAreDecodedOnlyWhenUrlEncodingWasApplied) {
  auto sender = std::make_shared<ScriptedSender>(S3Client::service_id());
  const S3Client s3(sender);
  sender->answer(
      "<ListBucketResult><EncodingType>url</EncodingType><Prefix>a%20b%2F</Prefix>"
      "<Contents><Key>a%20b/c+d%2Be%C3%A9</Key><Size>3</Size></Contents>"
      "<Contents><Key>x</Key></Contents><CommonPrefixes><Prefix>a%20b/sub/</Prefix></CommonPrefixes>"
      "</ListBucketResult>");
  const auto listed = s3.list_objects_v2({.Bucket = "b", .Prefix = "a b/"});
  ASSERT_EQ(listed.Contents.size(), 2u);
  EXPECT_EQ(listed.Contents[0].Key, "a b/c d+e\xC3\xA9");
  EXPECT_EQ(listed.Prefix, "a b/");
  EXPECT_EQ(listed.CommonPrefixes.at(0).Prefix, "a b/sub/");
  EXPECT_EQ(field(sender->sent[0].query, "prefix"), "a b/") << "the sender encodes query values";
  EXPECT_EQ(field(sender->sent[0].query, "encoding-type"), "url");

  sender->answer("<ListBucketResult><Contents><Key>plain+key%41</Key></Contents></ListBucketResult>");
  EXPECT_EQ(s3.list_objects_v2({.Bucket = "b"}).Contents.at(0).Key, "plain+key%41");
}

class S3Files : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = std::filesystem::temp_directory_path() / ("qvn-s3-files-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
  }
  void TearDown() override { std::filesystem::remove_all(dir); }
  static std::string slurp(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  std::filesystem::path dir;
  std::shared_ptr<ScriptedSender> sender = std::make_shared<ScriptedSender>(S3Client::service_id());
  S3Client s3{sender};
};

TEST_F(S3Files, UploadStreamsTheFileWithItsMd5) {
  const auto file = dir / "hello.txt";
  std::ofstream(file, std::ios::binary) << "hello\n";
  sender->answer("");
  s3.upload_file(file.string(), "bucket", "k/sub dir/a+b.txt");
  ASSERT_EQ(sender->sent.size(), 1u);
  const auto& r = sender->sent[0];
  EXPECT_EQ(r.method, "PUT");
  EXPECT_EQ(r.bucket, "bucket");
  EXPECT_EQ(r.path, "/k/sub%20dir/a%2Bb.txt");
  EXPECT_EQ(r.upload_file, file.string());
  EXPECT_TRUE(r.body.empty());
  EXPECT_EQ(field(r.headers, "Content-MD5"), "sZRqySSS0jR8YjW00mERhA==");
}

TEST_F(S3Files, UploadOfAMissingFileSendsNothing) {
  EXPECT_THROW(s3.upload_file((dir / "absent").string(), "b", "k"), S3FileError);
  EXPECT_THROW(s3.upload_file(dir.string(), "b", "k"), S3FileError);
  EXPECT_TRUE(sender->sent.empty());
}

TEST_F(S3Files, ARefusedDownloadLeavesTheTargetAsItWas) {
  const auto target = dir / "state.json";
  std::ofstream(target, std::ios::binary) << "old";
  sender->refuse(404, "NoSuchKey");
  EXPECT_THROW(s3.download_file("b", "k", target.string()), ServiceError);
  EXPECT_EQ(slurp(target), "old");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1) << "no partial file is left";

  sender->answer("new content");
  s3.download_file("b", "dir/k 1", target.string());
  EXPECT_EQ(slurp(target), "new content");
  EXPECT_EQ(sender->sent.back().path, "/dir/k%201");
  // The transport keeps the object beside the target until it is whole.
  EXPECT_EQ(sender->sent.back().download_file, target.string());
}

TEST(JsonInput, StrictConversionNamesTheOffendingMember) {
  using shape::Json;
  const auto message = [](const Json& input) {
    try {
      shape::from_json_strict<RunInstancesRequest>(input);
    } catch (const shape::JsonInputError& e) {
      return std::string(e.what());
    }
    return std::string("accepted");
  };
  EXPECT_EQ(message({{"MinCount", 1}, {"MaxCount", 1}, {"ImageId", "ami-1"}}), "accepted");
  EXPECT_EQ(message({{"MaxCount", 1}}), "Missing required parameter in input: \"MinCount\"");
  EXPECT_EQ(message({{"MinCount", "1"}, {"MaxCount", 1}}).rfind("Invalid type for parameter MinCount", 0), 0u);
  EXPECT_EQ(
      message({{"MinCount", 1}, {"MaxCount", 1}, {"Imageid", "x"}}).rfind("Unknown parameter in input: \"Imageid\"", 0),
      0u);
  EXPECT_EQ(message({{"MinCount", 1}, {"MaxCount", 1}, {"NetworkInterfaces", {{{"Group", {"sg"}}}}}})
                .rfind("Unknown parameter in NetworkInterfaces[0]: \"Group\"", 0),
            0u);
  EXPECT_EQ(message(Json::array()).rfind("Invalid type for parameter input", 0), 0u);
}

TEST(JsonOutput, AbsentMembersStayOutAndListsKeepTheirOrder) {
  DescribeInstancesResult r;
  r.Reservations.emplace_back().Instances.emplace_back().InstanceId = "i-1";
  const auto j = shape::to_json(r);
  const auto& instance = j["Reservations"][0]["Instances"][0];
  EXPECT_EQ(instance["InstanceId"], "i-1");
  EXPECT_FALSE(instance.contains("PublicIpAddress"));
  EXPECT_TRUE(instance["NetworkInterfaces"].is_array());
  EXPECT_FALSE(j.contains("NextToken"));
}

}  // namespace
}  // namespace qvn::aws::testing
