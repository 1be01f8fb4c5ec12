#include "deploy/security_group.hpp"

#include <functional>

#include "aws/errors.hpp"
#include "core/clock.hpp"
#include "core/logging.hpp"
#include "core/run_outcome.hpp"
#include "deploy/failure_report.hpp"
#include "deploy/resource_names.hpp"
#include "deploy/run_summary.hpp"
#include "deploy/tags.hpp"
#include "lib/public_ip.hpp"

namespace qvn::deploy {

namespace {

constexpr const char* kGroupDescription = "Quorvane test ec2";

aws::CreateSecurityGroupRequest creationRequest(const std::string& name, const std::string& vpc_id,
                                                const DeployArgs& args) {
  aws::CreateSecurityGroupRequest request;
  request.Description = kGroupDescription;
  request.GroupName = name;
  request.VpcId = vpc_id;
  request.TagSpecifications = {nameTagSpecification("security-group", name)};
  if (args.tag_resource) populateTags(request, *args.tag_resource);
  return request;
}

// The group `name` of `vpc_id` as EC2 describes it, or nothing (see getSgId).
std::optional<aws::SecurityGroup> lookupGroup(const aws::Ec2Client& ec2_client, const std::string& vpc_id,
                                              const std::string& sg_name) {
  aws::DescribeSecurityGroupsRequest request;
  request.Filters = {aws::Filter{"vpc-id", {vpc_id}}, aws::Filter{"group-name", {sg_name}}};
  try {
    const auto answer = ec2_client.describe_security_groups(request);
    if (answer.SecurityGroups.empty() || !answer.SecurityGroups.front().GroupId) return std::nullopt;
    return answer.SecurityGroups.front();
  } catch (const aws::ServiceError& e) {
    if (e.code() == "InvalidGroup.NotFound")
      logError("SG not found " + sg_name + " in " + vpc_id);
    return std::nullopt;
  }
}

// Adds the one inbound rule to the group. A rule that is there already
// ("InvalidPermission.Duplicate": a run stopped before its answer came, or a
// retry whose first attempt was carried out and its answer lost) is as asked.
void authorizeRule(const aws::Ec2Client& ec2_client, const std::string& groupId, const aws::IpPermission& rule) {
  aws::AuthorizeSecurityGroupIngressRequest ingress;
  ingress.GroupId = groupId;
  ingress.IpPermissions = {rule};
  try {
    ec2_client.authorize_security_group_ingress(ingress);
  } catch (const aws::ServiceError& e) {
    if (e.code() != "InvalidPermission.Duplicate") throw;
  }
}

// Creates the group. A retry that meets the group its first attempt made
// (the answer lost on the way: "InvalidGroup.Duplicate") finds it by name in
// the VPC and goes on with it.
aws::SecurityGroup createOrFindGroup(const aws::Ec2Client& ec2_client, const aws::CreateSecurityGroupRequest& request) {
  try {
    const auto created = ec2_client.create_security_group(request);
    if (!created.GroupId || created.GroupId->empty())
      throw std::runtime_error("CreateSecurityGroup answered without a GroupId for " + request.GroupName);
    aws::SecurityGroup group;
    group.GroupId = created.GroupId;
    return group;
  } catch (const aws::ServiceError& e) {
    if (e.code() != "InvalidGroup.Duplicate") throw;
    auto found = lookupGroup(ec2_client, request.VpcId.value_or(""), request.GroupName);
    if (!found) throw;
    return *found;
  }
}

// Creates the group and adds its one inbound rule (unless the group found
// after a lost answer has its rules already). When the rule is refused the
// group is deleted again before the failure goes on.
std::string createWithRule(const aws::Ec2Client& ec2_client, const aws::CreateSecurityGroupRequest& request,
                           const aws::IpPermission& rule) {
  Logger& log = packageLogger();
  const aws::SecurityGroup group = createOrFindGroup(ec2_client, request);
  const std::string groupId = *group.GroupId;
  log.info("  " + groupId);
  if (!group.IpPermissions.empty()) return groupId;
  try {
    authorizeRule(ec2_client, groupId, rule);
  } catch (const std::exception& e) {
    reportFailure("inbound rule of " + request.GroupName + " " + groupId, e);
    try {
      aws::DeleteSecurityGroupRequest remove;
      remove.GroupId = groupId;
      ec2_client.delete_security_group(remove);
      reportFailure("inbound rule of " + request.GroupName + " " + groupId,
                    std::runtime_error("the group without its rule was deleted"));
    } catch (const std::exception& cleanup) {
      reportFailure("delete " + request.GroupName + " " + groupId + " without its rule", cleanup);
    }
    throw ProgramExit{1};
  }
  return groupId;
}

// Runs the creation steps inside the failure guard: every failure is written
// to standard error (not logged) and ends the program with status 1.
std::optional<std::string> guarded(const std::string& what, const std::function<std::optional<std::string>()>& steps) {
  try {
    return steps();
  } catch (const std::exception& e) {
    reportFailure(what, e);
    throw ProgramExit{1};
  }
}

// Reuses the VPC's group `name`, or creates it with the one inbound rule that
// `inboundRule` builds (built only when the group is to be created, dry run
// included, so its own lookups happen in both).
std::optional<std::string> reuseOrCreateGroup(const RunContext& run, const std::string& name,
                                              const std::function<aws::IpPermission()>& inboundRule) {
  Logger& log = packageLogger();
  const aws::Ec2Client& ec2_client = run.ec2;
  const std::string& vpc_id = run.vpc_id;
  const DeployArgs& args = run.args;
  if (const auto existing = lookupGroup(ec2_client, vpc_id, name)) {
    const std::string groupId = *existing->GroupId;
    log.info("- Reuse existing SG " + name + " " + groupId + " in " + vpc_id);
    run.count(core::Change::Adopted, kinds::kGroup, groupId);
    if (!existing->IpPermissions.empty()) return groupId;
    log.info("  Add the missing inbound rule to " + groupId);
    return guarded("inbound rule of " + name + " " + groupId, [&]() -> std::optional<std::string> {
      const aws::IpPermission rule = inboundRule();
      if (!args.dry_run) authorizeRule(ec2_client, groupId, rule);
      return groupId;
    });
  }
  const auto request = creationRequest(name, vpc_id, args);
  log.info("- Create SG " + name + " in " + vpc_id);
  return guarded("create " + name + " in " + vpc_id, [&]() -> std::optional<std::string> {
    const aws::IpPermission rule = inboundRule();
    if (args.dry_run) {
      run.count(core::Change::Created, kinds::kGroup);
      return std::nullopt;
    }
    std::optional<std::string> created = createWithRule(ec2_client, request, rule);
    if (created) run.count(core::Change::Created, kinds::kGroup, *created);
    return created;
  });
}

}  // namespace

std::optional<std::string> getSgId(const aws::Ec2Client& ec2_client, const std::string& vpc_id,
                                   const std::string& sg_name) {
  const auto group = lookupGroup(ec2_client, vpc_id, sg_name);
  if (!group) return std::nullopt;
  return group->GroupId;
}

std::optional<std::string> createSG(const RunContext& run) {
  return reuseOrCreateGroup(run, names::kSshGroup, [] {
    aws::IpPermission rule;
    rule.FromPort = 22;
    rule.IpProtocol = "tcp";
    rule.IpRanges = {aws::IpRange{queryPublicIp(ipEchoUrl()) + "/32", "SSH access from the workflow engine"}};
    rule.ToPort = 22;
    return rule;
  });
}

std::optional<std::string> createPrivateInfSG(const RunContext& run) {
  return reuseOrCreateGroup(run, names::kPrivateInterfaceGroup, [] {
    aws::IpPermission rule;
    rule.IpProtocol = "-1";
    rule.IpRanges = {aws::IpRange{"0.0.0.0/0", std::nullopt}};
    return rule;
  });
}

bool deleteSG(const RunContext& run, const std::string& sgId) {
  if (run.args.dry_run) return true;
  const aws::Ec2Client& ec2_client = run.ec2;
  aws::DeleteSecurityGroupRequest request;
  request.GroupId = sgId;
  for (int attempt = 1;; ++attempt) {
    try {
      ec2_client.delete_security_group(request);
      return true;
    } catch (const aws::ServiceError& e) {
      if (e.code() == "InvalidGroup.NotFound") return true;
      if (e.code() == "DependencyViolation" && attempt < kGroupDeleteAttempts) {
        core::sleep_for(core::Seconds(kGroupDeleteRetrySeconds));
        continue;
      }
      logFailure("delete security group " + sgId, e);
      return false;
    } catch (const std::exception& e) {
      logFailure("delete security group " + sgId, e);
      return false;
    }
  }
}

}  // namespace qvn::deploy
