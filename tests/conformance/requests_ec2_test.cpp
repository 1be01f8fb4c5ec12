// Our EC2 form fields against the golden requests serialised by the
// reference SDK.
#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "aws/ec2_json.hpp"
#include "services_support.hpp"

namespace qvn::aws::testing {
namespace {

struct Sent {
  FieldBag fields;
  std::string action;
  OperationRequest request;
};

Sent send_case(const Json& c) {
  auto sender = std::make_shared<RecordingSender>(Ec2Client::service_id());
  sender->fallback.body = "<" + c["operation"].get<std::string>() + "Response/>";
  const auto table = ec2_json_operations(std::make_shared<Ec2Client>(sender));
  const JsonOperation* op = nullptr;
  for (const auto& candidate : table) {
    if (candidate.api_name == c["operation"]) op = &candidate;
  }
  if (op == nullptr) throw std::runtime_error("no operation " + c["operation"].get<std::string>());
  op->invoke(c["params"], Pages::All);
  if (sender->sent.size() != 1) throw std::runtime_error("expected one request");
  return {to_bag(sender->sent[0].form), sender->sent[0].operation, sender->sent[0]};
}

FieldBag without(FieldBag bag, const std::string& name) {
  for (auto it = bag.begin(); it != bag.end();) {
    it = it->first == name ? bag.erase(it) : std::next(it);
  }
  return bag;
}

// Operations the reference fixtures do not cover: their form fields as the
// service model names them (a member's queryName, else its locationName with
// a capital first letter; lists numbered from 1).
struct ModelRow {
  const char* operation;
  const char* params;
  FieldBag fields;
};

const std::vector<ModelRow>& modelRows() {
  static const std::vector<ModelRow> rows = {
      {"DescribeAccountAttributes",
       R"({"AttributeNames": ["vpc-max-elastic-ips", "supported-platforms"]})",
       {{"AttributeName.1", "vpc-max-elastic-ips"}, {"AttributeName.2", "supported-platforms"}}},
      {"DescribeInstanceTypes",
       R"({"InstanceTypes": ["t3.micro"], "Filters": [{"Name": "processor-info.supported-architecture",
           "Values": ["x86_64", "arm64"]}], "MaxResults": 20})",
       {{"InstanceType.1", "t3.micro"},
        {"Filter.1.Name", "processor-info.supported-architecture"},
        {"Filter.1.Value.1", "x86_64"},
        {"Filter.1.Value.2", "arm64"},
        {"MaxResults", "20"}}},
      {"DescribeInstanceTypeOfferings",
       R"({"DryRun": false, "LocationType": "availability-zone", "Filters": [{"Name": "instance-type",
           "Values": ["t3.micro"]}, {"Name": "location", "Values": ["us-east-1a", "us-east-1b"]}]})",
       {{"DryRun", "false"},
        {"LocationType", "availability-zone"},
        {"Filter.1.Name", "instance-type"},
        {"Filter.1.Value.1", "t3.micro"},
        {"Filter.2.Name", "location"},
        {"Filter.2.Value.1", "us-east-1a"},
        {"Filter.2.Value.2", "us-east-1b"}}},
  };
  return rows;
}

TEST(Ec2ModelRequests, OperationsWithoutAGoldenCaseSendTheModelsFormFields) {
  for (const ModelRow& row : modelRows()) {
    SCOPED_TRACE(row.operation);
    const Json c = {{"operation", row.operation}, {"params", Json::parse(row.params)}};
    const Sent sent = send_case(c);
    EXPECT_EQ(sent.action, row.operation);
    EXPECT_EQ(sent.fields, row.fields);
  }
}

TEST(Ec2GoldenRequests, EveryCaseGivesTheGoldenFormFields) {
  const auto cases = golden_cases("ec2");
  ASSERT_GE(cases.size(), 25u);
  std::set<std::string> operations;
  for (const auto& c : cases) {
    SCOPED_TRACE(c["id"].get<std::string>());
    const Sent sent = send_case(c);
    EXPECT_EQ(sent.action, c["operation"].get<std::string>());
    EXPECT_EQ(sent.request.method, "POST");
    EXPECT_EQ(sent.request.path, "/");
    FieldBag golden = golden_bag(c["form_fields"]);
    EXPECT_EQ(golden.count({"Action", c["operation"].get<std::string>()}), 1u);
    EXPECT_EQ(golden.count({"Version", Ec2Client::service_id().api_version}), 1u);
    golden = without(without(golden, "Action"), "Version");
    FieldBag ours = sent.fields;
    if (c["operation"] == "RunInstances") {
      // The idempotency token is a fresh UUID per call; the golden one was pinned.
      ASSERT_EQ(ours.count({"ClientToken", "00000000-0000-4000-8000-000000000000"}), 0u);
      golden = without(golden, "ClientToken");
      std::string token;
      for (const auto& [k, v] : ours) {
        if (k == "ClientToken") token = v;
      }
      EXPECT_TRUE(
          std::regex_match(token, std::regex("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")))
          << token;
      ours = without(ours, "ClientToken");
    }
    EXPECT_EQ(ours, golden);
    operations.insert(c["operation"].get<std::string>());
  }
  EXPECT_EQ(operations.size(), 20u);
  for (const ModelRow& row : modelRows()) operations.insert(row.operation);
  std::set<std::string> offered;
  for (const auto& op : ec2_json_operations(std::make_shared<Ec2Client>(
           std::make_shared<RecordingSender>(Ec2Client::service_id()))))
    offered.insert(op.api_name);
  EXPECT_EQ(operations, offered) << "every EC2 operation of the client has a golden case or a model row";
}

TEST(Ec2GoldenRequests, FieldOrderFollowsTheReferenceBody) {
  // Same order as the reference body, so that the signed payload can match byte for byte.
  for (const auto& c : golden_cases("ec2")) {
    if (c["operation"] == "RunInstances") continue;
    SCOPED_TRACE(c["id"].get<std::string>());
    const Sent sent = send_case(c);
    HeaderList golden;
    for (const auto& f : c["form_fields"]) {
      if (f[0] != "Action" && f[0] != "Version") golden.emplace_back(f[0], f[1]);
    }
    EXPECT_EQ(sent.request.form, golden);
  }
}

}  // namespace
}  // namespace qvn::aws::testing
