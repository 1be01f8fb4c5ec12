// The sandbox's S3 in-process: the fixture requests (path-style), listing
// with prefixes, delimiters and continuation, integrity checks, errors.
#include <gtest/gtest.h>

#include "iam_fixture_calls.hpp"
#include "modules.hpp"
#include "query_xml.hpp"
#include "s3.hpp"

namespace qvn::sandbox {
namespace {

using namespace testing;

const std::string kBucket = "quorvane-backups-123456789012";
const std::string kKey = "backups/vpc-1/sub dir/a+b.txt";

class S3ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override { load(Json::parse(R"({"s3": {"buckets": [{"name": "quorvane-backups-123456789012"}]}})")); }
  void load(const Json& scenario) { s3->load(scenario, world); }

  // A path-style request as the toolkit's client sends it.
  AwsCall request(const std::string& method, const std::string& raw_path, Pairs query = {}, std::string body = "") {
    AwsCall c = fixture_call("s3-path-custom-endpoint-get-object");
    c.method = method;
    c.raw_path = raw_path;
    c.path = percent_decode(raw_path);
    c.query = std::move(query);
    c.body = std::move(body);
    c.headers.erase("content-md5");
    c.headers["x-amz-content-sha256"] = sha256_hex(c.body);
    c.operation = s3_operation_name(c.method, c.raw_path, c.query);
    return c;
  }
  void put(const std::string& key, const std::string& body) {
    s3->handle(request("PUT", "/" + kBucket + "/" + uri_path(key), {}, body));
  }
  static std::string uri_path(const std::string& key) {
    std::string out;
    for (char c : key) out += c == '/' ? std::string("/") : percent_encode(std::string(1, c));
    return out;
  }
  Xml list(Pairs query) {
    query.insert(query.begin(), {"list-type", "2"});
    return Xml(s3->handle(request("GET", "/" + kBucket, query)).body);
  }
  // A DeleteObjects request for `body`, with its Content-MD5.
  AwsCall delete_objects_call(const std::string& body) {
    AwsCall c = request("POST", "/" + kBucket, {{"delete", ""}}, body);
    c.headers["content-md5"] = base64_encode(md5_raw(body));
    return c;
  }
  std::vector<std::string> keys(const Xml& xml) {
    std::vector<std::string> out;
    for (auto n : xml.doc.select_nodes("/ListBucketResult/Contents/Key")) out.push_back(n.node().text().get());
    return out;
  }

  World world;
  std::unique_ptr<Service> s3 = make_s3_service();
};

TEST_F(S3ServiceTest, FixtureRoundTripPutListGetDelete) {
  AwsReply put = s3->handle(fixture_call("s3-path-custom-endpoint-put-object"));
  EXPECT_EQ(put.status, 200);
  auto header = [](const AwsReply& r, const std::string& name) {
    for (const auto& [k, v] : r.headers)
      if (k == name) return v;
    return std::string();
  };
  EXPECT_EQ(header(put, "ETag"), "\"b1946ac92492d2347c6235b4d2611184\"");  // MD5 of "hello\n"

  Xml listed(s3->handle(fixture_call("s3-path-custom-endpoint-list-objects-v2")).body);
  EXPECT_EQ(listed.at("/ListBucketResult/Name"), kBucket);
  EXPECT_EQ(listed.at("/ListBucketResult/EncodingType"), "url");
  EXPECT_EQ(listed.at("/ListBucketResult/Prefix"), "backups/vpc-1/");
  EXPECT_EQ(listed.at("/ListBucketResult/KeyCount"), "1");
  EXPECT_EQ(listed.at("/ListBucketResult/IsTruncated"), "false");
  EXPECT_EQ(keys(listed), std::vector<std::string>{"backups/vpc-1/sub+dir/a%2Bb.txt"});
  EXPECT_EQ(listed.at("/ListBucketResult/Contents/Size"), "6");
  EXPECT_EQ(listed.at("/ListBucketResult/Contents/ETag"), "\"b1946ac92492d2347c6235b4d2611184\"");

  AwsReply got = s3->handle(fixture_call("s3-path-custom-endpoint-get-object"));
  EXPECT_EQ(got.body, "hello\n");
  EXPECT_FALSE(header(got, "Last-Modified").empty());
  EXPECT_EQ(header(got, "x-amz-request-id"), "req-s3-path-custom-endpoint-get-object");

  EXPECT_EQ(s3->handle(fixture_call("s3-path-custom-endpoint-delete-object")).status, 204);
  EXPECT_EQ(s3->handle(fixture_call("s3-path-custom-endpoint-delete-object")).status, 204);  // gone: still 204
  EXPECT_EQ(error_code(*s3, fixture_call("s3-path-custom-endpoint-get-object")), "NoSuchKey");
}

TEST_F(S3ServiceTest, MissingKeysAndBucketsRenderAsS3Errors) {
  try {
    s3->handle(fixture_call("s3-path-custom-endpoint-get-object"));
    FAIL() << "no error";
  } catch (const ApiError& e) {
    EXPECT_EQ(e.status, 404);
    AwsReply r = s3->render_error(e, "rid-1");
    Xml xml(r.body);
    EXPECT_EQ(xml.at("/Error/Code"), "NoSuchKey");
    EXPECT_EQ(xml.at("/Error/Key"), kKey);  // echoed decoded
    EXPECT_EQ(xml.at("/Error/RequestId"), "rid-1");
    EXPECT_FALSE(xml.at("/Error/HostId").empty());
    EXPECT_EQ(r.content_type, "application/xml");
  }
  load(Json::object());
  try {
    s3->handle(fixture_call("s3-path-custom-endpoint-list-objects-v2"));
    FAIL() << "no error";
  } catch (const ApiError& e) {
    EXPECT_EQ(e.code, "NoSuchBucket");
    EXPECT_EQ(Xml(s3->render_error(e, "r").body).at("/Error/BucketName"), kBucket);
  }
  EXPECT_EQ(error_code(*s3, fixture_call("s3-path-custom-endpoint-put-object")), "NoSuchBucket");
  EXPECT_EQ(error_code(*s3, fixture_call("s3-path-custom-endpoint-delete-object")), "NoSuchBucket");
}

TEST_F(S3ServiceTest, PayloadHashAndContentMd5AreChecked) {
  AwsCall wrong_hash = fixture_call("s3-path-custom-endpoint-put-object");
  wrong_hash.body = "hellO\n";
  wrong_hash.headers.erase("content-md5");
  EXPECT_EQ(error_code(*s3, wrong_hash), "XAmzContentSHA256Mismatch");

  AwsCall wrong_md5 = fixture_call("s3-path-custom-endpoint-put-object");
  wrong_md5.headers["content-md5"] = base64_encode(md5_raw("other"));
  EXPECT_EQ(error_code(*s3, wrong_md5), "BadDigest");
  wrong_md5.headers["content-md5"] = "short";
  EXPECT_EQ(error_code(*s3, wrong_md5), "InvalidDigest");

  AwsCall unsigned_payload = fixture_call("s3-path-custom-endpoint-put-object");
  unsigned_payload.headers["x-amz-content-sha256"] = "UNSIGNED-PAYLOAD";
  EXPECT_EQ(error_code(*s3, unsigned_payload), "");

  AwsCall no_header = fixture_call("s3-path-custom-endpoint-get-object");
  no_header.headers.erase("x-amz-content-sha256");
  EXPECT_EQ(error_code(*s3, no_header), "InvalidRequest");
  AwsCall garbage = fixture_call("s3-path-custom-endpoint-get-object");
  garbage.headers["x-amz-content-sha256"] = "abc";
  EXPECT_EQ(error_code(*s3, garbage), "InvalidArgument");
  // Nothing was stored by the refused uploads except the unsigned one.
  EXPECT_EQ(s3->dump()["buckets"][0]["objects"].size(), 1u);
}

TEST_F(S3ServiceTest, ListingPagesThroughContinuationTokens) {
  load(Json::parse(R"({"s3": {"page_size": 2, "buckets": [{"name": "quorvane-backups-123456789012"}]}})"));
  for (auto k : {"backups/vpc-1/a", "backups/vpc-1/b", "backups/vpc-1/c", "backups/vpc-1/d", "backups/vpc-1/e",
                 "backups/vpc-2/x", "other"})
    put(k, "x");
  std::vector<std::string> seen;
  Pairs query = {{"prefix", "backups/vpc-1/"}};
  int pages = 0;
  for (;;) {
    Xml xml = list(query);
    ++pages;
    auto page = keys(xml);
    seen.insert(seen.end(), page.begin(), page.end());
    EXPECT_EQ(xml.at("/ListBucketResult/KeyCount"), std::to_string(page.size()));
    if (xml.at("/ListBucketResult/IsTruncated") == "false") {
      EXPECT_EQ(xml.count("/ListBucketResult/NextContinuationToken"), 0u);
      break;
    }
    query = {{"prefix", "backups/vpc-1/"}, {"continuation-token", xml.at("/ListBucketResult/NextContinuationToken")}};
    ASSERT_LT(pages, 10);
  }
  EXPECT_EQ(pages, 3);
  EXPECT_EQ(seen, (std::vector<std::string>{"backups/vpc-1/a", "backups/vpc-1/b", "backups/vpc-1/c", "backups/vpc-1/d",
                                            "backups/vpc-1/e"}));
  // max-keys below the page size wins; the listing echoes it.
  Xml one = list({{"max-keys", "1"}});
  EXPECT_EQ(keys(one).size(), 1u);
  EXPECT_EQ(one.at("/ListBucketResult/MaxKeys"), "1");
  EXPECT_EQ(error_code(*s3, request("GET", "/" + kBucket, {{"list-type", "2"}, {"continuation-token", "bogus"}})),
            "InvalidArgument");
  EXPECT_EQ(error_code(*s3, request("GET", "/" + kBucket, {{"list-type", "2"}, {"max-keys", "ten"}})),
            "InvalidArgument");
}

TEST_F(S3ServiceTest, DelimiterGroupsCommonPrefixesAndStartAfterSkips) {
  for (auto k : {"a/1", "a/2", "b", "c/1", "d"}) put(k, "x");
  Xml xml = list({{"delimiter", "/"}});
  EXPECT_EQ(keys(xml), (std::vector<std::string>{"b", "d"}));
  EXPECT_EQ(xml.count("/ListBucketResult/CommonPrefixes"), 2u);
  EXPECT_EQ(xml.at("/ListBucketResult/CommonPrefixes/Prefix"), "a/");
  EXPECT_EQ(xml.at("/ListBucketResult/KeyCount"), "4");
  EXPECT_EQ(keys(list({{"start-after", "b"}})), (std::vector<std::string>{"c/1", "d"}));
  // A common prefix counts once across pages.
  load(Json::parse(R"({"s3": {"page_size": 1, "buckets": [{"name": "quorvane-backups-123456789012"}]}})"));
  for (auto k : {"a/1", "a/2", "b"}) put(k, "x");
  Xml first = list({{"delimiter", "/"}});
  EXPECT_EQ(first.at("/ListBucketResult/CommonPrefixes/Prefix"), "a/");
  Xml second = list({{"delimiter", "/"}, {"continuation-token", first.at("//NextContinuationToken")}});
  EXPECT_EQ(keys(second), std::vector<std::string>{"b"});
  EXPECT_EQ(second.at("//IsTruncated"), "false");
}

TEST_F(S3ServiceTest, ObjectsKeepTypeMetadataAndServeRanges) {
  AwsCall up = request("PUT", "/" + kBucket + "/k.json", {}, "0123456789");
  up.headers["content-type"] = "application/json";
  up.headers["x-amz-meta-owner"] = "qa";
  s3->handle(up);
  AwsReply head = s3->handle(request("HEAD", "/" + kBucket + "/k.json"));
  EXPECT_EQ(head.content_type, "application/json");
  EXPECT_TRUE(head.body.empty());
  bool meta = false, length = false;
  for (const auto& [k, v] : head.headers) {
    meta |= k == "x-amz-meta-owner" && v == "qa";
    length |= k == "Content-Length" && v == "10";
  }
  EXPECT_TRUE(meta);
  EXPECT_TRUE(length);

  auto ranged = [&](const std::string& range) {
    AwsCall c = request("GET", "/" + kBucket + "/k.json");
    c.headers["range"] = range;
    return s3->handle(c);
  };
  EXPECT_EQ(ranged("bytes=2-4").body, "234");
  EXPECT_EQ(ranged("bytes=2-4").status, 206);
  EXPECT_EQ(ranged("bytes=7-").body, "789");
  EXPECT_EQ(ranged("bytes=-3").body, "789");
  EXPECT_EQ(ranged("bytes=8-100").body, "89");
  AwsCall beyond = request("GET", "/" + kBucket + "/k.json");
  beyond.headers["range"] = "bytes=10-12";
  EXPECT_EQ(error_code(*s3, beyond), "InvalidRange");
  EXPECT_EQ(error_code(*s3, request("HEAD", "/" + kBucket + "/none")), "NoSuchKey");
}

TEST_F(S3ServiceTest, BucketsInAnotherRegionRefuseWrongRegionSignatures) {
  load(Json::parse(R"({"s3": {"buckets": [{"name": "quorvane-backups-123456789012", "region": "eu-west-2"}]}})"));
  try {
    s3->handle(fixture_call("s3-path-custom-endpoint-list-objects-v2"));
    FAIL() << "no error";
  } catch (const ApiError& e) {
    EXPECT_EQ(e.code, "AuthorizationHeaderMalformed");
    AwsReply r = s3->render_error(e, "rid");
    EXPECT_EQ(Xml(r.body).at("/Error/Region"), "eu-west-2");
  }
  AwsCall right = fixture_call("s3-path-custom-endpoint-list-objects-v2");
  right.region = "eu-west-2";
  EXPECT_EQ(error_code(*s3, right), "");
}

TEST_F(S3ServiceTest, BucketOperationsAndOperationNames) {
  EXPECT_EQ(s3_operation_name("GET", "/b", {{"list-type", "2"}}), "ListObjectsV2");
  EXPECT_EQ(s3_operation_name("PUT", "/b/k/x", {}), "PutObject");
  EXPECT_EQ(s3_operation_name("HEAD", "/b/k", {}), "HeadObject");
  EXPECT_EQ(s3_operation_name("DELETE", "/b/k", {}), "DeleteObject");
  EXPECT_EQ(s3_operation_name("GET", "/", {}), "ListBuckets");

  s3->handle(request("PUT", "/fresh-bucket"));
  EXPECT_EQ(error_code(*s3, request("PUT", "/fresh-bucket")), "BucketAlreadyOwnedByYou");
  EXPECT_EQ(error_code(*s3, request("PUT", "/Bad_Name")), "InvalidBucketName");
  put("k", "v");
  EXPECT_EQ(error_code(*s3, request("DELETE", "/" + kBucket)), "BucketNotEmpty");
  EXPECT_EQ(s3->handle(request("DELETE", "/fresh-bucket")).status, 204);
  Xml all(s3->handle(request("GET", "/")).body);
  EXPECT_EQ(all.at("/ListAllMyBucketsResult/Buckets/Bucket/Name"), kBucket);
}

std::vector<std::string> texts(const Xml& xml, const std::string& path) {
  std::vector<std::string> out;
  for (auto n : xml.doc.select_nodes(path.c_str())) out.push_back(n.node().text().get());
  return out;
}

TEST_F(S3ServiceTest, DeleteObjectsReportsEveryKeyAndQuietModeOnlyTheErrors) {
  put("a", "1");
  put("b", "2");
  put("sp ace&<x>", "3");
  put("keep", "4");
  AwsCall call = delete_objects_call(
      "<Delete xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\"><Object><Key>a</Key></Object>"
      "<Object><Key>never-there</Key></Object><Object><Key>b</Key><VersionId>3HL4kqtJlcpX</VersionId></Object>"
      "<Object><Key>sp ace&amp;&lt;x&gt;</Key><VersionId>null</VersionId></Object></Delete>");
  EXPECT_EQ(call.operation, "DeleteObjects");
  AwsReply reply = s3->handle(call);
  EXPECT_EQ(reply.status, 200);
  Xml result(reply.body);
  // A key that did not exist is reported deleted, as S3 does.
  EXPECT_EQ(texts(result, "/DeleteResult/Deleted/Key"), (std::vector<std::string>{"a", "never-there", "sp ace&<x>"}));
  EXPECT_EQ(texts(result, "/DeleteResult/Deleted/VersionId"), std::vector<std::string>{"null"});
  EXPECT_EQ(texts(result, "/DeleteResult/Error/Key"), std::vector<std::string>{"b"});
  EXPECT_EQ(texts(result, "/DeleteResult/Error/Code"), std::vector<std::string>{"NoSuchVersion"});
  EXPECT_EQ(keys(list({})), (std::vector<std::string>{"b", "keep"}));

  AwsReply quiet =
      s3->handle(delete_objects_call("<Delete><Quiet>true</Quiet><Object><Key>keep</Key></Object>"
                                     "<Object><Key>b</Key><VersionId>v2</VersionId></Object></Delete>"));
  Xml quiet_result(quiet.body);
  EXPECT_TRUE(texts(quiet_result, "/DeleteResult/Deleted/Key").empty());
  EXPECT_EQ(texts(quiet_result, "/DeleteResult/Error/Key"), std::vector<std::string>{"b"});
  AwsReply nothing_wrong =
      s3->handle(delete_objects_call("<Delete><Quiet>true</Quiet><Object><Key>b</Key></Object></Delete>"));
  EXPECT_EQ(nothing_wrong.status, 200);
  EXPECT_EQ(Xml(nothing_wrong.body).doc.document_element().first_child(), pugi::xml_node());
  EXPECT_TRUE(keys(list({})).empty());
}

TEST_F(S3ServiceTest, DeleteObjectsNeedsAnIntegrityCheckAndAValidDocument) {
  put("a", "1");
  const std::string body = "<Delete><Object><Key>a</Key></Object></Delete>";
  AwsCall unchecked = delete_objects_call(body);
  unchecked.headers.erase("content-md5");
  EXPECT_EQ(error_code(*s3, unchecked), "InvalidRequest");
  AwsCall wrong_md5 = delete_objects_call(body);
  wrong_md5.headers["content-md5"] = base64_encode(md5_raw("other"));
  EXPECT_EQ(error_code(*s3, wrong_md5), "BadDigest");

  // The checksum headers, on the standard check input "123456789": a right
  // checksum passes the integrity check (the body is then refused as XML).
  AwsCall checked = delete_objects_call("123456789");
  checked.headers.erase("content-md5");
  for (const auto& [header, value] : std::vector<std::pair<std::string, std::string>>{
           {"x-amz-checksum-crc32", std::string("\xCB\xF4\x39\x26", 4)},
           {"x-amz-checksum-crc32c", std::string("\xE3\x06\x92\x83", 4)},
           {"x-amz-checksum-crc64nvme", std::string("\xAE\x8B\x14\x86\x0A\x79\x98\x88", 8)},
           {"x-amz-checksum-sha256", std::string(32, '\0')}}) {
    SCOPED_TRACE(header);
    AwsCall c = checked;
    c.headers[header] = base64_encode(value);
    EXPECT_EQ(error_code(*s3, c), header == "x-amz-checksum-sha256" ? "BadDigest" : "MalformedXML");
    c.headers[header] = base64_encode(value.substr(1) + "x");
    EXPECT_EQ(error_code(*s3, c), "BadDigest");
  }

  std::string thousand_and_one = "<Delete>";
  for (int i = 0; i < 1001; ++i) thousand_and_one += "<Object><Key>k" + std::to_string(i) + "</Key></Object>";
  thousand_and_one += "</Delete>";
  for (const std::string& bad :
       {std::string("not xml"), std::string("<Remove><Object><Key>a</Key></Object></Remove>"),
        std::string("<Delete></Delete>"), std::string("<Delete><Object/></Delete>"),
        std::string("<Delete><Quiet>yes</Quiet><Object><Key>a</Key></Object></Delete>"), thousand_and_one}) {
    SCOPED_TRACE(bad.substr(0, 60));
    EXPECT_EQ(error_code(*s3, delete_objects_call(bad)), "MalformedXML");
  }
  EXPECT_EQ(keys(list({})), std::vector<std::string>{"a"});
}

TEST_F(S3ServiceTest, ScenarioObjectsAreListedAndDumped) {
  load(Json::parse(R"({"s3": {"buckets": [{"name": "quorvane-backups-123456789012", "objects": [
      {"key": "result-gw-.txt", "body": "PASS\n"}, {"key": "bin", "body_base64": "AP8="}]}]}})"));
  EXPECT_EQ(s3->handle(request("GET", "/" + kBucket + "/result-gw-.txt")).body, "PASS\n");
  Json objects = s3->dump()["buckets"][0]["objects"];
  ASSERT_EQ(objects.size(), 2u);
  EXPECT_EQ(objects[0]["key"], "bin");
  EXPECT_EQ(objects[0]["body_base64"], "AP8=");
  EXPECT_EQ(objects[1]["body"], "PASS\n");
}

}  // namespace
}  // namespace qvn::sandbox
