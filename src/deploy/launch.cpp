#include "deploy/launch.hpp"

#include <cctype>

#include "aws/errors.hpp"
#include "aws/waiters.hpp"
#include "core/clock.hpp"
#include "core/interrupt.hpp"
#include "core/logging.hpp"
#include "deploy/elastic_ip.hpp"
#include "deploy/failure_report.hpp"
#include "deploy/resource_names.hpp"
#include "deploy/run_summary.hpp"
#include "deploy/tags.hpp"
#include "lib/ipv4.hpp"

namespace qvn::deploy {

namespace {

aws::Instance describeInstance(const aws::Ec2Client& ec2_client, const std::string& instance_id) {
  aws::DescribeInstancesRequest request;
  request.InstanceIds = {instance_id};
  const auto answer = ec2_client.describe_instances(request);
  if (answer.Reservations.empty() || answer.Reservations.front().Instances.empty()) {
    throw std::runtime_error("DescribeInstances did not describe " + instance_id);
  }
  return answer.Reservations.front().Instances.front();
}

bool hasPublicIp(const aws::Instance& instance) {
  return instance.PublicIpAddress && !instance.PublicIpAddress->empty();
}

// The instance profile a launch goes ahead with, or that it does not.
struct ProfileChoice {
  // False: the worker ends here (the named role is unusable).
  bool launch = false;
  // The profile to launch with; none: the instance gets no profile.
  std::optional<std::string> profile;
};

// Step of the launch that checks --ec2_role NAME (not "default").
ProfileChoice instanceProfileOf(const Ec2Launch& launch) {
  const DeployArgs& args = launch.run->args;
  if (!args.ec2_role || *args.ec2_role == "default") return {true, launch.shared.instance_profile};
  Logger& log = packageLogger();
  const std::string& role = *args.ec2_role;
  const ProfileChoice refused{false, std::nullopt};
  aws::ListInstanceProfilesForRoleResult answer;
  try {
    aws::ListInstanceProfilesForRoleRequest request;
    request.RoleName = role;
    answer = launch.run->iam.list_instance_profiles_for_role(request);
  } catch (const aws::ServiceError& error) {
    if (error.code() == "NoSuchEntity") {
      logError("role not found " + role);
    } else {
      logFailure("instance profiles of role " + role, error);
    }
    return refused;
  } catch (const std::exception& error) {
    logFailure("instance profiles of role " + role, error);
    return refused;
  }
  if (answer.InstanceProfiles.empty()) {
    logError("no instance profile found for role " + role);
    return refused;
  }
  log.info("- Assign role " + role + " to " + names::kInstance);
  return {true, role};
}

// Adoption is by subnet alone: an instance tagged for another job is used
// all the same, and the user is told whose it looks like.
void warnOfOtherTags(const Ec2Launch& launch, const aws::Instance& instance) {
  const std::vector<std::string> differing = differingUserTags(instance.Tags, launch.run->args.tag_resource);
  if (differing.empty()) return;
  std::string listed;
  for (const std::string& tag : differing) listed += (listed.empty() ? "" : ", ") + tag;
  packageLogger().warning("  **Warning** " + launch.private_subnet_id + ": adopted " +
                          instance.InstanceId.value_or("") + ", whose tags differ from --tag_resource: " + listed);
}

std::string stateOf(const aws::Instance& instance) {
  return instance.State && instance.State->Name ? *instance.State->Name : "";
}

// EC2's InvalidParameterValue also says "not yet" for an instance profile
// that was created moments ago; only that one is worth waiting for.
bool concernsInstanceProfile(const aws::ServiceError& error) {
  std::string message = error.message();
  for (char& c : message) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return message.find("instanceprofile") != std::string::npos || message.find("instance profile") != std::string::npos;
}

// The instance_status_ok wait with the SDK's timing; an interruption ends
// it before its next poll. False when interrupted; a waiter that gives up
// is thrown as it is.
bool waitUntilStatusOk(const aws::Ec2Client& ec2_client, const std::string& insId, core::Progress* progress) {
  aws::DescribeInstanceStatusRequest wait;
  wait.InstanceIds = {insId};
  core::Awaited awaited(progress);
  aws::WaiterConfig timing;
  timing.between_polls = [&awaited] { awaited.tick(); };
  timing.abandon_when = [] { return core::interrupted(); };
  try {
    aws::wait_instance_status_ok(ec2_client, wait, timing);
  } catch (const aws::WaiterError& ended) {
    if (ended.reason() != aws::WaiterError::Reason::Abandoned) throw;
    return false;
  }
  awaited.reached();
  return true;
}

// A new instance, and an adopted one that is still starting (pending, or
// running with its status checks not passed yet), is waited for until its
// status checks pass. False when the worker has to end: the instance is
// stopped or stopping (not running, nothing to record), or the run was
// interrupted.
bool readyForUse(const Ec2Launch& launch, const std::string& insId, bool adopted) {
  const aws::Ec2Client& ec2_client = launch.run->ec2;
  if (adopted) {
    const aws::Instance instance = describeInstance(ec2_client, insId);
    warnOfOtherTags(launch, instance);
    const std::string state = stateOf(instance);
    if (state != "pending" && state != "running") {
      packageLogger().info("  " + insId + " is " + (state.empty() ? "in no known state" : state) + ", not running");
      return false;
    }
  }
  return waitUntilStatusOk(ec2_client, insId, launch.status_checks);
}

// "launch in <test subnet> (zone <zone>, instance type <type>)": where a
// refused launch was asked for. The zone is looked up for the message; a
// lookup that fails leaves it out.
std::string launchPlace(const aws::Ec2Client& ec2_client, const aws::RunInstancesRequest& data) {
  const std::string gateway = data.NetworkInterfaces.front().SubnetId.value_or("");
  const std::string test = data.NetworkInterfaces.back().SubnetId.value_or(gateway);
  std::string zone = "unknown";
  try {
    aws::DescribeSubnetsRequest request;
    request.SubnetIds = {gateway};
    const auto answer = ec2_client.describe_subnets(request);
    if (!answer.Subnets.empty() && answer.Subnets.front().AvailabilityZone)
      zone = *answer.Subnets.front().AvailabilityZone;
  } catch (const std::exception&) {
    // The refusal itself is what the line is about.
  }
  return "launch in " + test + " (zone " + zone + ", instance type " + data.InstanceType.value_or("") + ")";
}

}  // namespace

std::timed_mutex& entryRecordLock() {
  static std::timed_mutex lock;
  return lock;
}

std::unique_ptr<core::Progress> statusCheckProgress() {
  return std::make_unique<core::Progress>(packageLogger(), "waiting for status checks", "instances ok");
}

aws::RunInstancesRequest launchRequest(const Ec2Launch& launch, const std::optional<std::string>& profile) {
  const DeployArgs& args = launch.run->args;
  const SharedLaunchInputs& shared = launch.shared;
  aws::RunInstancesRequest data;
  data.InstanceType = args.instance_type;
  data.MinCount = 1;
  data.MaxCount = 1;
  data.ImageId = launch.run->image ? launch.run->image->ImageId.value_or("") : std::string();
  data.TagSpecifications = {nameTagSpecification("instance", names::kInstance)};
  if (args.tag_resource) populateTags(data, *args.tag_resource);
  aws::InstanceNetworkInterfaceSpecification gateway;
  gateway.DeviceIndex = 0;
  gateway.SubnetId = launch.gw_subnet_id;
  if (shared.sg_id) gateway.Groups = {*shared.sg_id};
  aws::InstanceNetworkInterfaceSpecification inside;
  inside.DeviceIndex = 1;
  inside.SubnetId = launch.private_subnet_id;
  if (shared.sg_id_private_inf) inside.Groups = {*shared.sg_id_private_inf};
  data.NetworkInterfaces = {gateway, inside};
  if (profile) {
    aws::IamInstanceProfileSpecification instance_profile;
    instance_profile.Name = *profile;
    data.IamInstanceProfile = instance_profile;
  }
  data.KeyName = shared.key_name;
  return data;
}

std::optional<std::string> createEc2WithRetry(const aws::Ec2Client& ec2_client, const aws::RunInstancesRequest& data) {
  Logger& log = packageLogger();
  for (int attempt = 1;; ++attempt) {
    try {
      const aws::RunInstancesResult answer = ec2_client.run_instances(data);
      if (answer.Instances.empty() || !answer.Instances.front().InstanceId) {
        throw std::runtime_error("the RunInstances answer names no instance");
      }
      const std::string insId = *answer.Instances.front().InstanceId;
      log.info(std::string("  Instance ") + names::kInstance + " " + insId + " created in " +
               data.NetworkInterfaces.front().SubnetId.value_or(""));
      return insId;
    } catch (const aws::ServiceError& error) {
      if (error.code() != "InvalidParameterValue" || !concernsInstanceProfile(error)) {
        logFailure(launchPlace(ec2_client, data), error);
        return std::nullopt;
      }
      log.info(std::string("  Instance profile ") + names::kInstanceProfile + " is not ready, retry in 10 sec");
      if (attempt >= kLaunchAttempts) throw InvalidParameterValueException();
      core::sleep_for(core::Seconds(kLaunchRetrySeconds));
      if (core::interrupted()) {
        log.info("  Launch in " + data.NetworkInterfaces.front().SubnetId.value_or("") + " given up: interrupted");
        return std::nullopt;
      }
    } catch (const std::exception& error) {
      logFailure(launchPlace(ec2_client, data), error);
      return std::nullopt;
    }
  }
}

void createEc2(const Ec2Launch& launch) {
  Logger& log = packageLogger();
  const RunContext& run = *launch.run;
  const aws::Ec2Client& ec2_client = run.ec2;
  const ProfileChoice profile = instanceProfileOf(launch);
  if (!profile.launch) return;

  log.info(std::string("- Create ") + names::kInstance + " in private " + launch.private_subnet_id);
  std::optional<std::string> insId = getLiveEc2(ec2_client, launch.gw_subnet_id).first;
  const bool adopted = insId.has_value();
  if (!insId) {
    const aws::RunInstancesRequest data = launchRequest(launch, profile.profile);
    if (core::interrupted()) return;
    if (run.args.dry_run) {
      run.count(core::Change::Created, kinds::kInstance);
      return;
    }
    insId = createEc2WithRetry(ec2_client, data);
    if (!insId) return;
  }
  run.count(adopted ? core::Change::Adopted : core::Change::Created, kinds::kInstance, *insId);
  if (!readyForUse(launch, *insId, adopted)) return;

  aws::DescribeInstanceStatusRequest status;
  status.InstanceIds = {*insId};
  if (ec2_client.describe_instance_status(status).InstanceStatuses.empty()) return;

  aws::Instance instance = describeInstance(ec2_client, *insId);
  std::vector<std::string> gateway_interfaces;
  for (const auto& interface : instance.NetworkInterfaces) {
    if (interface.SubnetId == launch.gw_subnet_id && interface.NetworkInterfaceId) {
      gateway_interfaces.push_back(*interface.NetworkInterfaceId);
    }
  }
  if (!hasPublicIp(instance)) {
    if (gateway_interfaces.empty()) {
      throw std::runtime_error(*insId + " has no network interface in " + launch.gw_subnet_id +
                               " to give an Elastic IP");
    }
    associateEIP(run, gateway_interfaces.front());
    instance = describeInstance(ec2_client, *insId);
  }
  log.info(std::string("- Created ") + names::kInstance + " in " + launch.private_subnet_id);
  for (int round = 0; round < kPublicIpRounds && !hasPublicIp(instance); ++round) {
    core::sleep_for(core::Seconds(kPublicIpWaitSeconds));
    instance = describeInstance(ec2_client, *insId);
  }
  if (!hasPublicIp(instance)) {
    log.error("  Failed to allocate and associate EIP to " + *insId);
    return;
  }
  log.info("  public ip: " + *instance.PublicIpAddress);
  const Ipv4Network network = launch.test_config->network("private_subnet_cidr");
  std::vector<std::string> private_ips;
  for (const auto& interface : instance.NetworkInterfaces) {
    if (!interface.PrivateIpAddress || !Ipv4Address::is_valid(*interface.PrivateIpAddress)) continue;
    if (network.contains(Ipv4Address::parse(*interface.PrivateIpAddress))) {
      log.info("  ip in private subnet: " + *interface.PrivateIpAddress);
      private_ips.push_back(*interface.PrivateIpAddress);
    }
  }
  const std::lock_guard<std::timed_mutex> recording(entryRecordLock());
  launch.test_config->set("ec2_ip", *instance.PublicIpAddress);
  for (const std::string& ip : private_ips) launch.test_config->set("ec2_2nd_private_ip", ip);
}

}  // namespace qvn::deploy
