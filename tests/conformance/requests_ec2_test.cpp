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
  EXPECT_EQ(operations.size(), 20u) << "every EC2 operation of the client has a golden case";
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
