// The Name tag first, then the user's --tag_resource pairs in option order.
#include <gtest/gtest.h>

#include <stdexcept>

#include "aws/ec2_network_model.hpp"
#include "deploy/resource_names.hpp"
#include "deploy/tags.hpp"

namespace qvn::deploy {
namespace {

std::vector<std::string> pairsOf(const aws::TagSpecification& spec) {
  std::vector<std::string> out;
  for (const auto& tag : spec.Tags) out.push_back("[" + tag.Key.value_or("?") + "]=[" + tag.Value.value_or("?") + "]");
  return out;
}

TEST(PopulateTags, UserPairsFollowTheNameTagInOptionOrder) {
  aws::RunInstancesRequest data;
  data.TagSpecifications = {nameTagSpecification("instance", names::kInstance)};
  populateTags(data, "team,qa,owner,me");
  ASSERT_EQ(data.TagSpecifications.size(), 1u);
  EXPECT_EQ(data.TagSpecifications[0].ResourceType, "instance");
  EXPECT_EQ(pairsOf(data.TagSpecifications[0]),
            (std::vector<std::string>{"[Name]=[quorvane-test-ec2]", "[team]=[qa]", "[owner]=[me]"}));
}

TEST(PopulateTags, ItemsAreTakenAsWrittenEmptyBlankAndRepeatedNameIncluded) {
  aws::CreateKeyPairRequest data;
  data.TagSpecifications = {nameTagSpecification("key-pair", names::kKeyPairTag)};
  populateTags(data, "a,,b,c, k , v ,Name,mine");
  EXPECT_EQ(pairsOf(data.TagSpecifications[0]),
            (std::vector<std::string>{"[Name]=[quorvane-test-ec2-key-pair]", "[a]=[]", "[b]=[c]", "[ k ]=[ v ]",
                                      "[Name]=[mine]"}));
}

TEST(PopulateTags, OnlyTheFirstSpecificationIsExtended) {
  std::vector<aws::TagSpecification> specs{nameTagSpecification("elastic-ip", names::kEipTag),
                                           nameTagSpecification("network-interface", "other")};
  populateTags(specs, "k,v");
  EXPECT_EQ(pairsOf(specs[0]), (std::vector<std::string>{"[Name]=[quorvane-test-ec2-eip]", "[k]=[v]"}));
  EXPECT_EQ(pairsOf(specs[1]), (std::vector<std::string>{"[Name]=[other]"}));
}

TEST(PopulateTags, AKeyWithoutValueOrNoSpecificationIsRefusedWithoutChange) {
  std::vector<aws::TagSpecification> specs{nameTagSpecification("security-group", names::kSshGroup)};
  EXPECT_THROW(populateTags(specs, "team,qa,owner"), std::invalid_argument);
  EXPECT_EQ(pairsOf(specs[0]), (std::vector<std::string>{"[Name]=[quorvane-test-ec2-sg]"}));
  std::vector<aws::TagSpecification> none;
  EXPECT_THROW(populateTags(none, "k,v"), std::invalid_argument);
  EXPECT_TRUE(none.empty());
}

TEST(DifferingUserTags, NamesWhatDiffersFromTheAskedPairsButNotTheToolsOrAwssOwn) {
  const std::vector<aws::Tag> tags = {
      {"Name", "quorvane-test-ec2"}, {"aws:cloudformation:stack-name", "x"}, {"ci-job", "A"}, {"team", "net"}};
  struct Row {
    std::optional<std::string> asked;
    std::vector<std::string> differing;
  };
  const std::vector<Row> rows = {
      {"ci-job,A,team,net", {}},
      {"team,net,ci-job,A", {}},
      {"ci-job,B,team,net", {"ci-job=A"}},
      {"ci-job,A", {"team=net"}},
      {"ci-job,A,team,net,owner,me", {"owner (none)"}},
      {std::nullopt, {"ci-job=A", "team=net"}},
  };
  for (const Row& row : rows) EXPECT_EQ(differingUserTags(tags, row.asked), row.differing) << row.asked.value_or("-");
  EXPECT_TRUE(differingUserTags({{"Name", "quorvane-test-ec2"}}, std::nullopt).empty());
}

}  // namespace
}  // namespace qvn::deploy
