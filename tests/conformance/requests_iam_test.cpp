// Our IAM form fields against the golden requests serialised by the
// reference SDK.
#include <gtest/gtest.h>

#include <set>

#include "aws/iam_json.hpp"
#include "services_support.hpp"

namespace qvn::aws::testing {
namespace {

TEST(IamGoldenRequests, EveryCaseGivesTheGoldenFormFieldsInOrder) {
  const auto cases = golden_cases("iam");
  ASSERT_GE(cases.size(), 12u);
  std::set<std::string> operations;
  for (const auto& c : cases) {
    SCOPED_TRACE(c["id"].get<std::string>());
    const std::string op = c["operation"];
    const auto sent =
        send_golden<IamClient>(c, iam_json_operations, OperationResponse{200, {}, "<" + op + "Response/>"});
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].operation, op);
    HeaderList golden;
    for (const auto& f : c["form_fields"]) {
      if (f[0] == "Action") {
        EXPECT_EQ(f[1], op);
      } else if (f[0] == "Version") {
        EXPECT_EQ(f[1], IamClient::service_id().api_version);
      } else {
        golden.emplace_back(f[0], f[1]);
      }
    }
    EXPECT_EQ(sent[0].form, golden);
    operations.insert(op);
  }
  EXPECT_EQ(operations.size(), 12u) << "every IAM operation of the client has a golden case";
}

}  // namespace
}  // namespace qvn::aws::testing
