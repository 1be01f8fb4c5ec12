// probe_deploy --revert run as a process against a sandbox that holds what a
// deployment of three test subnets leaves: the instances (two interfaces
// each, an Elastic IP on the gateway interface), the VPC's security groups
// and key pair and, where a test asks for it, the default IAM objects among
// more local policies than one page of ListPolicies holds.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "e2e/cli_run.hpp"
#include "e2e/deploy_support.hpp"
#include "e2e/sandbox_process.hpp"
#include "e2e/tool_leftovers.hpp"

namespace qvn::e2e {
namespace {

using nlohmann::json;

const std::string kVpc = "vpc-0a5b0c0d0e0f00001";
const std::string kOtherVpc = "vpc-0feed000000000009";
const std::string kOtherSubnet = "subnet-0feed000000000009";
const std::string kKeyName = "quorvane-test-ec2-key-pair-" + kVpc;
const std::string kSshGroupId = "sg-0feed000000000001";
const std::string kPrivateGroupId = "sg-0feed000000000002";
// Gateway subnet, private subnet, private subnet CIDR of the three entries.
const std::vector<std::vector<std::string>> kEntries = {
    {"subnet-0a5b0c0d0e0f00001", "subnet-0a5b0c0d0e0f00011", "10.10.10.0/24"},
    {"subnet-0a5b0c0d0e0f00002", "subnet-0a5b0c0d0e0f00021", "10.10.20.0/24"},
    {"subnet-0a5b0c0d0e0f00003", "subnet-0a5b0c0d0e0f00012", "10.10.11.0/24"}};

std::string instanceOf(std::size_t i) { return "i-0feed00000000000" + std::to_string(i + 1); }
std::string gatewayInterfaceOf(std::size_t i) { return "eni-0feed00000000000" + std::to_string(i + 1); }

std::size_t count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class RevertAgainstSandbox : public ::testing::Test {
 protected:
  RevertAgainstSandbox()
      : scratch_("revert_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name())) {
    // The sandbox's life cycle runs at the programs' time scale.
    ::setenv("QUORVANE_TIME_SCALE", "0.01", 1);
    sandbox_ = std::make_unique<SandboxProcess>("spoke.json", scratch_.path());
    ::unsetenv("QUORVANE_TIME_SCALE");
    std::filesystem::create_directories(cwd());
  }

  std::filesystem::path cwd() const { return scratch_.path() / "run"; }
  SandboxProcess& sandbox() { return *sandbox_; }
  std::string log() const { return slurp(cwd() / "backups" / "log" / "quorvane_testlibs.log"); }

  // What a deployment of `instances` of kEntries leaves behind. `iam`: the
  // default IAM objects too, behind 120 other attached local policies.
  // `ec2_address`: the instances' public addresses are EC2's own, not Elastic IPs.
  void plant(std::size_t instances, bool private_group = false, bool iam = false, bool ec2_address = false) {
    json scenario = readScenario("spoke.json");
    if (shutting_down_seconds_ >= 0) scenario["timings"]["instance_shutting_down_seconds"] = shutting_down_seconds_;
    scenario["ec2"]["subnets"].push_back(
        {{"id", kEntries[2][0]}, {"vpc", kVpc}, {"az", "us-east-1a"}, {"cidr", "10.10.2.0/24"}});
    // Another VPC, whose subnet no entry of this VPC's configuration may name.
    scenario["ec2"]["vpcs"].push_back({{"id", kOtherVpc}, {"cidr", "10.99.0.0/16"}});
    scenario["ec2"]["subnets"].push_back(
        {{"id", kOtherSubnet}, {"vpc", kOtherVpc}, {"az", "us-east-1a"}, {"cidr", "10.99.0.0/24"}});
    json groups = json::array({{{"id", kSshGroupId},
                                {"vpc", kVpc},
                                {"name", "quorvane-test-ec2-sg"},
                                {"description", "Quorvane test ec2"},
                                {"tags", {{"Name", "quorvane-test-ec2-sg"}}}}});
    if (private_group)
      groups.push_back({{"id", kPrivateGroupId},
                        {"vpc", kVpc},
                        {"name", "quorvane-test-ec2-private-interface-sg"},
                        {"description", "Quorvane test ec2"},
                        {"tags", {{"Name", "quorvane-test-ec2-private-interface-sg"}}}});
    scenario["ec2"]["security_groups"] = groups;
    scenario["ec2"]["key_pairs"] =
        json::array({{{"name", kKeyName}, {"tags", {{"Name", "quorvane-test-ec2-key-pair"}}}}});
    for (std::size_t i = 0; i < instances; ++i) {
      // Interfaces made by the launch go with their instance.
      json gateway = {{"id", gatewayInterfaceOf(i)},
                      {"subnet", kEntries[i][0]},
                      {"groups", {kSshGroupId}},
                      {"delete_on_termination", true}};
      if (ec2_address) gateway["public_ip"] = "198.51.100." + std::to_string(200 + i);
      scenario["ec2"]["instances"].push_back(
          {{"id", instanceOf(i)},
           {"type", "t3.micro"},
           {"key_name", kKeyName},
           {"tags", {{"Name", "quorvane-test-ec2"}}},
           {"network_interfaces",
            json::array({gateway, {{"subnet", kEntries[i][1]}, {"delete_on_termination", true}}})}});
    }
    if (iam) {
      for (int r = 0; r < 12; ++r) {
        json attached = json::array();
        for (int p = 0; p < 10; ++p) {
          const std::string name = "busy-policy-" + std::to_string(r * 10 + p + 100);
          scenario["iam"]["policies"].push_back({{"name", name}});
          attached.push_back(name);
        }
        scenario["iam"]["roles"].push_back(
            {{"name", "busy-role-" + std::to_string(r)}, {"attached_policies", attached}});
      }
      scenario["iam"]["policies"].push_back({{"name", "quorvane-test-ec2-policy"}});
      scenario["iam"]["roles"].push_back(
          {{"name", "quorvane-test-ec2-role"}, {"attached_policies", {"quorvane-test-ec2-policy"}}});
      scenario["iam"]["instance_profiles"].push_back(
          {{"name", "quorvane-test-ec2-instance-profile"}, {"roles", {"quorvane-test-ec2-role"}}});
    }
    sandbox().load(scenario);
    for (std::size_t i = 0; i < instances && !ec2_address; ++i) {
      json allocation = awsCall("ec2", "allocate_address",
                                {{"Domain", "vpc"},
                                 {"TagSpecifications",
                                  {{{"ResourceType", "elastic-ip"},
                                    {"Tags",
                                     {{{"Key", "Name"}, {"Value", "quorvane-test-ec2-eip"}},
                                      {{"Key", "quorvane-vpc"}, {"Value", kVpc}}}}}}}});
      allocations_.push_back(allocation.at("AllocationId").get<std::string>());
      awsCall("ec2", "associate_address",
              {{"AllocationId", allocations_.back()}, {"NetworkInterfaceId", gatewayInterfaceOf(i)}});
    }
    sandbox().clearRequests();
  }

  json awsCall(const std::string& service, const std::string& operation, const json& input) {
    ProcessResult r = runProgram(programPath("qvn-aws"), {service, operation, "--input", input.dump()}, cwd(),
                                 sandbox().environment());
    if (r.status != 0) throw std::runtime_error(operation + ": " + r.err);
    return json::parse(r.out);
  }

  // A test configuration with the entries `which` of kEntries (an index past
  // the end stands for an entry with an empty private_subnet_id on subnet 3).
  std::string config(const std::vector<std::size_t>& which, const std::string& name = "in.config") {
    json doc = json::array();
    for (std::size_t i : which) {
      const auto& e = kEntries[std::min<std::size_t>(i, 2)];
      doc.push_back({{"nat_gw_id", "spoke1"},
                     {"gw_subnet_id", e[0]},
                     {"gw_private_ip", "10.10.0.10"},
                     {"private_subnet_id", i < kEntries.size() ? e[1] : ""},
                     {"private_subnet_cidr", e[2]}});
    }
    std::ofstream(cwd() / name) << doc.dump(2) << "\n";
    return name;
  }

  ProcessResult revert(const std::string& config_file, std::vector<std::string> extra = {}) {
    std::vector<std::string> args{"--revert", "--test_config", config_file, "--region", "us-east-1"};
    args.insert(args.end(), extra.begin(), extra.end());
    Environment env = sandbox().environment();
    env.emplace_back("QUORVANE_TIME_SCALE", "0.01");
    return runProgram(programPath("probe_deploy"), args, cwd(), env);
  }

  std::vector<std::string> leftovers() { return toolLeftovers(sandbox().state()); }

  std::vector<json> changes() {
    std::vector<json> found;
    for (const json& r : sandbox().requests())
      if (r.value("status", 0) < 400 && !r.value("operation", "").starts_with("Describe") &&
          !r.value("operation", "").starts_with("List") && !r.value("operation", "").starts_with("Get"))
        found.push_back(r);
    return found;
  }

  std::vector<std::string> allocations_;
  // Sandbox seconds an instance takes to shut down (scaled by 0.01); < 0: the scenario's.
  double shutting_down_seconds_ = -1;

 private:
  ScratchFolder scratch_;
  std::unique_ptr<SandboxProcess> sandbox_;
};

std::string describeAll(const std::vector<std::string>& items) {
  std::string text;
  for (const auto& item : items) text += item + "\n";
  return text;
}

TEST_F(RevertAgainstSandbox, RemovesEverythingInOrderAndASecondRunOnlyReportsNotFound) {
  plant(3, /*private_group=*/true, /*iam=*/true);
  ASSERT_EQ(leftovers().size(), 3u * 2 + 2 + 1 + 3) << describeAll(leftovers());

  ProcessResult first = revert(config({0, 1, 2}), {"--ec2_role", "default"});
  EXPECT_EQ(first.status, 0) << first.err;
  EXPECT_TRUE(leftovers().empty()) << describeAll(leftovers());

  // Per subnet: the lookup, the termination, then the address release.
  const std::string text = log();
  for (std::size_t i = 0; i < kEntries.size(); ++i) {
    const auto lookup = text.find("- Delete quorvane-test-ec2 in " + kEntries[i][0]);
    const auto terminate = text.find("  terminate " + instanceOf(i) + " in " + kEntries[i][0]);
    const auto release = text.find(" " + allocations_[i] + " for " + instanceOf(i));
    ASSERT_NE(lookup, std::string::npos) << text;
    ASSERT_NE(terminate, std::string::npos) << text;
    ASSERT_NE(release, std::string::npos) << text;
    EXPECT_LT(lookup, terminate);
    EXPECT_LT(terminate, release);
    EXPECT_LT(release, text.find("- Delete SG quorvane-test-ec2-sg"));
  }
  const auto ssh = text.find("- Delete SG quorvane-test-ec2-sg\n");
  const auto ssh_id = text.find("  delete SG " + kSshGroupId);
  const auto priv = text.find("- Delete SG quorvane-test-ec2-private-interface-sg\n");
  const auto priv_id = text.find("  delete SG " + kPrivateGroupId);
  const auto key = text.find("- Delete key pair " + kKeyName);
  ASSERT_NE(key, std::string::npos) << text;
  EXPECT_TRUE(ssh < ssh_id && ssh_id < priv && priv < priv_id && priv_id < key) << text;

  // The addresses were released once free: EC2 refuses to release an address
  // still associated, and nothing disassociated them but the terminations.
  auto releases = sandbox().requests("ec2", "ReleaseAddress");
  ASSERT_EQ(releases.size(), 3u);
  for (const json& r : releases) EXPECT_EQ(r.value("status", 0), 200) << r.dump();
  EXPECT_TRUE(sandbox().requests("ec2", "DisassociateAddress").empty());
  // The policy is deleted by its ARN (the caller's account), not searched
  // for among the account's many others.
  EXPECT_TRUE(sandbox().requests("iam", "ListPolicies").empty());
  EXPECT_EQ(sandbox().requests("iam", "DeletePolicy").size(), 1u);
  EXPECT_NE(text.find("- Nothing of quorvane-test-ec2 is left for in.config"), std::string::npos) << text;

  sandbox().clearRequests();
  ProcessResult second = revert(config({0, 1, 2}));
  EXPECT_EQ(second.status, 0) << second.err;
  const std::string again = log().substr(text.size());
  EXPECT_EQ(count(again, "  not found\n"), 2u) << again;
  EXPECT_NE(again.find("  Key not found: " + kKeyName), std::string::npos) << again;
  for (const json& r : changes())
    EXPECT_EQ(r.value("operation", ""), "TerminateInstances") << "second run changed " << r.dump();
  EXPECT_TRUE(leftovers().empty());
}

TEST_F(RevertAgainstSandbox, DryRunChangesNothingAndOtherConfigurationsKeepTheSharedResources) {
  plant(3, false, true);
  const std::size_t planted = leftovers().size();

  ProcessResult dry = revert(config({0, 1, 2}), {"--dry_run", "--ec2_role", "default"});
  EXPECT_EQ(dry.status, 0) << dry.err;
  EXPECT_TRUE(changes().empty()) << changes().front().dump();
  EXPECT_EQ(leftovers().size(), planted);
  const std::string dry_log = log();
  EXPECT_NE(dry_log.find("  **Alert** More than one ec2 with tag Name:quorvane-test-ec2 found in " + kVpc),
            std::string::npos);
  EXPECT_EQ(dry_log.find("- Delete SG"), std::string::npos);
  EXPECT_EQ(dry_log.find("- Delete key pair"), std::string::npos);

  // Entries 1 and 2 only; entry 3's subnet is listed with an empty private
  // subnet, so it is skipped without a word and its instance stays.
  const std::size_t before = log().size();
  ProcessResult partial = revert(config({0, 1, 3}));
  EXPECT_EQ(partial.status, 0) << partial.err;
  const std::string run = log().substr(before);
  EXPECT_EQ(run.find(kEntries[2][0]), std::string::npos) << run;
  EXPECT_EQ(run.find("Skip"), std::string::npos) << run;
  const std::string left = describeAll(leftovers());
  EXPECT_EQ(left.find(instanceOf(0)), std::string::npos) << left;
  EXPECT_EQ(left.find(instanceOf(1)), std::string::npos) << left;
  EXPECT_NE(left.find("instance " + instanceOf(2) + " running"), std::string::npos) << left;
  EXPECT_NE(left.find("address " + allocations_[2]), std::string::npos) << left;
  EXPECT_EQ(left.find(allocations_[0]), std::string::npos) << left;
  EXPECT_NE(left.find("security group " + kSshGroupId), std::string::npos) << left;
  EXPECT_NE(left.find("key pair " + kKeyName), std::string::npos) << left;
  EXPECT_EQ(run.find("- Delete SG"), std::string::npos) << run;
}

TEST_F(RevertAgainstSandbox, FailuresAreReportedAndTheRestGoesOn) {
  // A group still in use (by an instance that is not the tool's) cannot go:
  // EC2's DependencyViolation is an error and the group is named as left
  // behind (status 1); the other group and the key pair go.
  plant(1, /*private_group=*/true);
  json scenario_instance =
      awsCall("ec2", "run_instances",
              {{"ImageId", "ami-0005e0cfe09cc9050"},
               {"InstanceType", "t3.micro"},
               {"MinCount", 1},
               {"MaxCount", 1},
               {"NetworkInterfaces", {{{"DeviceIndex", 0}, {"SubnetId", kEntries[1][0]}, {"Groups", {kSshGroupId}}}}}});
  ProcessResult r = revert(config({0}));
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("DependencyViolation"), std::string::npos) << r.err;
  EXPECT_NE(log().find("  **Error** left behind: security group " + kSshGroupId + " quorvane-test-ec2-sg"),
            std::string::npos);
  std::string left = describeAll(leftovers());
  EXPECT_NE(left.find("security group " + kSshGroupId), std::string::npos) << left;
  EXPECT_EQ(left.find(kPrivateGroupId), std::string::npos) << left;
  EXPECT_EQ(left.find("key pair"), std::string::npos) << left;
  EXPECT_EQ(left.find("instance"), std::string::npos) << left;

  // One worker's termination is refused: that subnet is named on standard
  // error and logged at ERROR (exit status 1); the other subnets are cleared.
  plant(3);
  sandbox().addFaults({{"service", "ec2"},
                       {"operation", "TerminateInstances"},
                       {"error", {{"code", "UnauthorizedOperation"}, {"status", 403}}},
                       {"count", 1}});
  r = revert(config({0, 1, 2}));
  EXPECT_EQ(r.status, 1) << r.err;
  left = describeAll(leftovers());
  std::size_t named = 0;
  for (std::size_t i = 0; i < kEntries.size(); ++i) {
    if (r.err.find("teardown of " + kEntries[i][0]) == std::string::npos) {
      EXPECT_EQ(left.find(instanceOf(i)), std::string::npos) << left;
      continue;
    }
    ++named;
    EXPECT_NE(left.find("instance " + instanceOf(i)), std::string::npos) << left;
    EXPECT_NE(left.find(allocations_[allocations_.size() - 3 + i]), std::string::npos) << left;
    EXPECT_NE(log().find("  **Error** teardown of " + kEntries[i][0]), std::string::npos);
    EXPECT_NE(log().find("  **Error** left behind: Elastic IP "), std::string::npos) << "its address stays with it";
  }
  EXPECT_EQ(named, 1u) << r.err;
  // The failed subnet's instance is still there, so the shared resources stay.
  EXPECT_NE(left.find("security group " + kSshGroupId), std::string::npos) << left;

  // An instance whose public address is EC2's own, not an Elastic IP: there
  // is nothing to release, and the instance still goes.
  plant(1, false, false, /*ec2_address=*/true);
  r = revert(config({0}));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(log().find("  no Elastic IP behind 198.51.100.200 of " + instanceOf(0)), std::string::npos);
  EXPECT_TRUE(leftovers().empty()) << describeAll(leftovers());
}

TEST_F(RevertAgainstSandbox, AddressesNoInstanceHoldsAreReleasedAndTheStatusSaysWhatIsLeft) {
  // A deployment stopped between AllocateAddress and AssociateAddress, and
  // an address of the tool's in another VPC.
  plant(1);
  const json tags = {{{"Key", "Name"}, {"Value", "quorvane-test-ec2-eip"}}, {{"Key", "quorvane-vpc"}, {"Value", kVpc}}};
  json idle = awsCall("ec2", "allocate_address",
                      {{"Domain", "vpc"}, {"TagSpecifications", {{{"ResourceType", "elastic-ip"}, {"Tags", tags}}}}});
  json elsewhere = awsCall("ec2", "allocate_address",
                           {{"Domain", "vpc"},
                            {"TagSpecifications",
                             {{{"ResourceType", "elastic-ip"},
                               {"Tags",
                                {{{"Key", "Name"}, {"Value", "quorvane-test-ec2-eip"}},
                                 {{"Key", "quorvane-vpc"}, {"Value", kOtherVpc}}}}}}}});
  ProcessResult r = revert(config({0}));
  EXPECT_EQ(r.status, 0) << r.err;
  const auto left = leftovers();
  ASSERT_EQ(left.size(), 1u) << describeAll(left);
  EXPECT_EQ(left[0].rfind("address " + elsewhere.at("AllocationId").get<std::string>() + " " +
                              elsewhere.at("PublicIp").get<std::string>(),
                          0),
            0u)
      << left[0];
  EXPECT_NE(log().find(idle.at("AllocationId").get<std::string>() + " (not associated)"), std::string::npos);

  // Every release refused: the run ends with status 1 and names the address.
  plant(1);
  sandbox().addFaults({{"service", "ec2"},
                       {"operation", "ReleaseAddress"},
                       {"error", {{"code", "UnauthorizedOperation"}, {"status", 403}}},
                       {"count", 10}});
  r = revert(config({0}));
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(log().find("  **Error** left behind: Elastic IP"), std::string::npos);
}

TEST_F(RevertAgainstSandbox, SigtermDuringTheTerminationsWindsDownAtOnceAndSaysWhatIsLeft) {
  shutting_down_seconds_ = 250;  // 2.5 s at the run's time scale
  plant(2);
  Environment env = sandbox().environment();
  env.emplace_back("QUORVANE_TIME_SCALE", "0.01");
  StartedProgram started = startProgram(
      programPath("probe_deploy"), {"--revert", "--test_config", config({0, 1}), "--region", "us-east-1"}, cwd(), env);
  const auto terminating = [this] { return sandbox().requests("ec2", "TerminateInstances").size() >= 2; };
  for (int i = 0; i < 1000 && !terminating(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_TRUE(terminating()) << log();
  sandbox().clearRequests();
  const auto sent = std::chrono::steady_clock::now();
  ::kill(started.pid, SIGTERM);
  const ProcessResult r = *finishProgram(started);
  EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::seconds(5));
  EXPECT_EQ(r.status, 143) << r.err;
  EXPECT_LE(sandbox().requests("ec2", "DescribeInstances").size(), 4u);
  for (const json& request : changes()) ADD_FAILURE() << "changed after the signal: " << request.dump();
  EXPECT_EQ(r.err.find("Max attempts"), std::string::npos) << r.err;
  for (std::size_t i = 0; i < 2; ++i)
    EXPECT_NE(r.err.find("  **Error** left behind: instance " + instanceOf(i) + " shutting-down"), std::string::npos)
        << r.err;
  EXPECT_NE(r.err.find("  **Error** left behind: key pair " + kKeyName), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("  **Error** left behind: Elastic IP "), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("is left for"), std::string::npos) << r.err;
  const std::string again = "probe_deploy --revert --test_config in.config --region us-east-1";
  EXPECT_NE(r.err.find("  **Alert** SIGTERM: waiting for "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("  **Error** interrupted by SIGTERM; to finish the teardown, run it again: " + again + "\n"),
            std::string::npos)
      << r.err;

  // The command it names finishes the job.
  const ProcessResult finished = revert(config({0, 1}));
  EXPECT_EQ(finished.status, 0) << finished.err;
  EXPECT_TRUE(leftovers().empty()) << describeAll(leftovers());
}

TEST_F(RevertAgainstSandbox, BadConfigurationsAreRefusedBeforeAnyChange) {
  plant(3);
  struct Case {
    std::string name;
    std::string text;
    std::string message;
  };
  const std::string e1 = "\"gw_subnet_id\": \"" + kEntries[0][0] + "\"";
  const std::vector<Case> cases = {
      {"empty array", "[]", "bad.config"},
      {"not JSON", "{", "bad.config"},
      {"no private_subnet_id", "[{" + e1 + "}]", "entry 1"},
      {"shared gateway subnet",
       "[{" + e1 + ", \"private_subnet_id\": \"a\"}, {" + e1 + ", \"private_subnet_id\": \"b\"}]", "entry 2"},
      {"unknown subnet", "[{\"gw_subnet_id\": \"subnet-0dead\", \"private_subnet_id\": \"a\"}]", "subnet-0dead"},
      {"another VPC",
       "[{" + e1 + ", \"private_subnet_id\": \"a\"}, {\"gw_subnet_id\": \"" + kOtherSubnet +
           "\", \"private_subnet_id\": \"b\"}]",
       "entry 2"},
  };
  for (const Case& c : cases) {
    std::ofstream(cwd() / "bad.config") << c.text;
    ProcessResult r = revert("bad.config");
    EXPECT_EQ(r.status, 1) << c.name << ": " << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << c.name << ": " << r.err;
    EXPECT_TRUE(sandbox().requests("ec2", "TerminateInstances").empty()) << c.name;
  }
  EXPECT_EQ(leftovers().size(), 3u * 2 + 2);
}

// The real thing: probe_deploy deploys three subnets (with the default IAM
// objects), then --revert with the same input removes all of it, twice over.
class DeployThenRevert : public DeployAgainstSandbox {};

TEST_F(DeployThenRevert, LeavesNothingOfTheToolBehind) {
  prepare(3);
  ProcessResult deployed = deploy({"--ec2_role", "default"});
  ASSERT_EQ(deployed.status, 0) << deployed.err;
  const std::vector<std::string> made = toolLeftovers(sandbox().state());
  // Three instances and their addresses, the group, the key pair, the IAM objects.
  ASSERT_EQ(made.size(), 3u * 2 + 2 + 3) << describeAll(made);

  std::vector<std::string> args{"--revert",  "--test_config", "in.json", "--region",
                                "us-east-1", "--ec2_role",    "default"};
  ProcessResult reverted = runProgram(programPath("probe_deploy"), args, cwd(), environment());
  EXPECT_EQ(reverted.status, 0) << reverted.err;
  EXPECT_TRUE(toolLeftovers(sandbox().state()).empty()) << describeAll(toolLeftovers(sandbox().state()));
  for (const json& r : sandbox().requests("ec2", "ReleaseAddress")) EXPECT_EQ(r.value("status", 0), 200) << r.dump();

  // Deployed again at once: EC2 still lists the terminated instances beside
  // the new ones, and the next revert removes the new ones all the same.
  deployed = deploy({"--ec2_role", "default"});
  ASSERT_EQ(deployed.status, 0) << deployed.err;
  ASSERT_EQ(toolLeftovers(sandbox().state()).size(), made.size());
  reverted = runProgram(programPath("probe_deploy"), args, cwd(), environment());
  EXPECT_EQ(reverted.status, 0) << reverted.err;
  EXPECT_TRUE(toolLeftovers(sandbox().state()).empty()) << describeAll(toolLeftovers(sandbox().state()));
}

// Two jobs deploying into one VPC with --ec2_role default share the
// account's IAM objects: one job's revert keeps what the other's instances
// use, and the last one removes them.
TEST_F(DeployThenRevert, TwoJobsShareTheIamObjectsUntilTheLastOneReverts) {
  prepare(4);
  nlohmann::ordered_json a = nlohmann::ordered_json::array();
  nlohmann::ordered_json b = nlohmann::ordered_json::array();
  for (std::size_t i = 0; i < 4; ++i) (i < 2 ? a : b).push_back(inputConfig()[i]);
  std::ofstream(cwd() / "a.json") << a.dump(2) << "\n";
  std::ofstream(cwd() / "b.json") << b.dump(2) << "\n";
  const auto run = [&](std::vector<std::string> words) {
    words.insert(words.end(), {"--region", "us-east-1"});
    return runProgram(programPath("probe_deploy"), words, cwd(), environment());
  };
  ASSERT_EQ(run({"--test_config", "a.json", "--output_test_config", "a.out", "--ec2_role", "default"}).status, 0);
  sandbox().clearRequests();
  ProcessResult r = run({"--test_config", "b.json", "--output_test_config", "b.out", "--ec2_role", "default"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(sandbox().requests("iam", "AttachRolePolicy").empty()) << "the role has its policy";

  r = run({"--revert", "--test_config", "a.json", "--ec2_role", "default"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("- Keep instance profile quorvane-test-ec2-instance-profile, role and policy: 2 instances use "
                       "them"),
            std::string::npos)
      << r.err;
  EXPECT_TRUE(sandbox().requests("iam", "DeleteInstanceProfile").empty());

  // A plain revert of the other job names the IAM objects it leaves.
  r = run({"--revert", "--test_config", "b.json"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("  **Alert** kept: instance profile quorvane-test-ec2-instance-profile, role "
                       "quorvane-test-ec2-role, policy arn:aws:iam::"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(r.err.find("is left for"), std::string::npos) << r.err;

  r = run({"--revert", "--test_config", "b.json", "--ec2_role", "default"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(toolLeftovers(sandbox().state()).empty()) << describeAll(toolLeftovers(sandbox().state()));
}

}  // namespace
}  // namespace qvn::e2e
