// Our IAM parsers against the response bodies validated with the reference
// SDK, and the paging of the list operations.
#include <gtest/gtest.h>

#include "aws/iam.hpp"
#include "aws/shape_json.hpp"
#include "aws/text_codec.hpp"
#include "services_support.hpp"

namespace qvn::aws::testing {
namespace iam_responses {

struct Loaded {
  std::string body;
  Json parsed;
  Json after_handlers;
};

Loaded load_built(const std::string& name) {
  const Json doc = Json::parse(read_file(fixture_path("responses/built/" + name + ".parsed.json")));
  return {read_file(fixture_path("responses/built/" + doc["body_file"].get<std::string>())), doc["parsed"],
          doc.value("parsed_after_botocore_handlers", Json())};
}

// The plain reference parse leaves policy documents encoded; we decode them.
void decode_documents(Json& j) {
  if (j.is_object()) {
    for (auto& [key, value] : j.items()) {
      if (key == "AssumeRolePolicyDocument" && value.is_string()) {
        value = text::percent_decode(value.get<std::string>());
      } else {
        decode_documents(value);
      }
    }
  } else if (j.is_array()) {
    for (auto& item : j) decode_documents(item);
  }
}

template <class Result, class Call>
Result check(const Loaded& loaded, Call call) {
  auto sender = std::make_shared<RecordingSender>(IamClient::service_id());
  sender->fallback.body = loaded.body;
  const IamClient iam(sender);
  const Result ours = call(iam);
  Json expected = loaded.parsed;
  decode_documents(expected);
  EXPECT_TRUE(same_json(shape::to_json(ours), shape::to_json(shape::from_json_lenient<Result>(expected))));
  return ours;
}

#define CHECK_IAM(name, Result, call_expr) \
  check<Result>(load_built(name), [](const IamClient& iam) { return call_expr; })

TEST(IamResponses, BuiltBodiesParseLikeTheReference) {
  const auto policy = CHECK_IAM("iam-create-policy", CreatePolicyResult, iam.create_policy({}));
  ASSERT_TRUE(policy.Policy);
  EXPECT_EQ(policy.Policy->Arn, "arn:aws:iam::123456789012:policy/quorvane-test-ec2-policy");

  const auto role = CHECK_IAM("iam-create-role", CreateRoleResult, iam.create_role({}));
  ASSERT_TRUE(role.Role && role.Role->AssumeRolePolicyDocument);
  // The decoded document is the JSON the reference SDK hands out after its own decoding.
  EXPECT_EQ(Json::parse(*role.Role->AssumeRolePolicyDocument),
            load_built("iam-create-role").after_handlers["Role"]["AssumeRolePolicyDocument"]);

  const auto profile =
      CHECK_IAM("iam-create-instance-profile", CreateInstanceProfileResult, iam.create_instance_profile({}));
  ASSERT_TRUE(profile.InstanceProfile);
  EXPECT_TRUE(profile.InstanceProfile->Roles.empty());
  EXPECT_TRUE(profile.InstanceProfile->Arn);

  const auto policies = CHECK_IAM("iam-list-policies", ListPoliciesResult, iam.list_policies({}, Pages::One));
  ASSERT_FALSE(policies.Policies.empty());
  EXPECT_TRUE(policies.Policies[0].PolicyName && policies.Policies[0].Arn);
  CHECK_IAM("iam-list-policies#truncated", ListPoliciesResult, iam.list_policies({}, Pages::One));

  const auto for_role = CHECK_IAM("iam-list-instance-profiles-for-role", ListInstanceProfilesForRoleResult,
                                  iam.list_instance_profiles_for_role({}, Pages::One));
  ASSERT_FALSE(for_role.InstanceProfiles.empty());
  ASSERT_FALSE(for_role.InstanceProfiles[0].Roles.empty());
  EXPECT_EQ(for_role.InstanceProfiles[0].Roles[0].RoleName, "quorvane-test-ec2-role");
  const auto none = CHECK_IAM("iam-list-instance-profiles-for-role#empty", ListInstanceProfilesForRoleResult,
                              iam.list_instance_profiles_for_role({}, Pages::One));
  EXPECT_TRUE(none.InstanceProfiles.empty());
}

TEST(IamResponses, OperationsWithoutOutputAcceptTheirBodies) {
  for (const char* name : {"iam-attach-role-policy", "iam-detach-role-policy", "iam-add-role-to-instance-profile",
                           "iam-remove-role-from-instance-profile", "iam-delete-instance-profile", "iam-delete-policy",
                           "iam-delete-role"}) {
    SCOPED_TRACE(name);
    auto sender = std::make_shared<RecordingSender>(IamClient::service_id());
    sender->fallback.body = load_built(name).body;
    const IamClient iam(sender);
    EXPECT_NO_THROW(iam.attach_role_policy({"r", "arn"}));
    EXPECT_NO_THROW(iam.delete_role({"r"}));
  }
}

TEST(IamResponses, ListPoliciesFollowsTheMarkerOfATruncatedPage) {
  auto sender = std::make_shared<RecordingSender>(IamClient::service_id());
  sender->replies.push_back({200, {}, load_built("iam-list-policies#truncated").body});
  sender->replies.push_back({200, {}, load_built("iam-list-policies").body});
  const IamClient iam(sender);
  const auto all = iam.list_policies({.Scope = "Local"});
  ASSERT_EQ(sender->sent.size(), 2u);
  const Json truncated = load_built("iam-list-policies#truncated").parsed;
  const auto& second = sender->sent[1].form;
  EXPECT_NE(std::find(second.begin(), second.end(),
                      std::pair<std::string, std::string>("Marker", truncated["Marker"].get<std::string>())),
            second.end());
  EXPECT_NE(std::find(second.begin(), second.end(), std::pair<std::string, std::string>("Scope", "Local")),
            second.end());
  EXPECT_EQ(all.Policies.size(),
            truncated["Policies"].size() + load_built("iam-list-policies").parsed["Policies"].size());
  EXPECT_FALSE(all.Marker);
  EXPECT_FALSE(all.IsTruncated);
}

}  // namespace iam_responses
}  // namespace qvn::aws::testing
