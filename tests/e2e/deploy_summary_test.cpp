// How probe_deploy ends and what it says while it waits, as a user sees it:
// one deployment whose status checks take a while (its progress lines),
// then a dry run of its revert and the revert that the deployment's
// summary names. Each run's closing lines on standard error and in the
// log, and its --summary-json file, are held against the sandbox's state.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "e2e/deploy_support.hpp"
#include "e2e/tool_leftovers.hpp"

namespace qvn::e2e {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using Counts = std::map<std::string, int>;

constexpr const char* kPrefix = "probe_deploy: ";

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The summary lines of a run's standard error ("probe_deploy: ..." but its
// error lines).
std::vector<std::string> summaryOf(const std::string& err) {
  std::vector<std::string> found;
  for (const std::string& line : linesOf(err))
    if (line.starts_with(kPrefix) && !line.starts_with(std::string(kPrefix) + "error:")) found.push_back(line);
  return found;
}

// The one summary line that starts with `start` after the program's name;
// empty when there is none.
std::string summaryLine(const std::vector<std::string>& summary, const std::string& start) {
  for (const std::string& line : summary)
    if (line.starts_with(kPrefix + start)) return line;
  return "";
}

std::string joined(const std::vector<std::string>& items) {
  std::string text;
  for (const auto& item : items) text += item + "\n";
  return text;
}

std::vector<std::string> words(const std::string& text) {
  std::vector<std::string> found;
  std::istringstream in(text);
  for (std::string word; in >> word;) found.push_back(word);
  return found;
}

class DeploySummaryTest : public DeployAgainstSandbox {
 protected:
  Json summaryFile(const std::string& name) const { return Json::parse(slurp(cwd() / name)); }

  // Counts per kind of the tool's objects in the sandbox.
  Counts madeByKind() {
    Counts kinds;
    for (const std::string& item : toolLeftovers(sandbox().state())) {
      if (item.starts_with("instance ")) ++kinds["instance"];
      if (item.starts_with("address ")) ++kinds["Elastic_IP"];
      if (item.starts_with("security group ")) ++kinds["security_group"];
      if (item.starts_with("key pair ")) ++kinds["key_pair"];
    }
    return kinds;
  }

  // Every summary line of standard error is in the log file too.
  void expectLoggedToo(const std::vector<std::string>& summary) {
    const std::string text = log();
    for (const std::string& line : summary) EXPECT_NE(text.find(line), std::string::npos) << line;
  }
};

TEST_F(DeploySummaryTest, ADeploymentADryRunOfItsRevertAndTheRevertItNamesEndWithMatchingSummaries) {
  // Status checks and terminations take 40 run seconds, polled every 15:
  // both waits are told.
  prepare(3, [](Json& scenario) {
    scenario["timings"]["status_initializing_seconds"] = 40;
    scenario["timings"]["instance_shutting_down_seconds"] = 40;
  });
  const ProcessResult deployed = deploy({"--summary-json", "deploy.json"});
  ASSERT_EQ(deployed.status, 0) << deployed.err;

  const std::regex waiting(R"(waiting for status checks: [0-3] of [1-3] instances ok \((\d+ min )?\d+ s\))");
  EXPECT_TRUE(std::regex_search(log(), waiting)) << log();
  EXPECT_TRUE(std::regex_search(deployed.err, waiting)) << "told on the console too";

  // What was made, counted per kind, as the sandbox holds it.
  const Counts made = madeByKind();
  ASSERT_EQ(made, (Counts{{"Elastic_IP", 3}, {"instance", 3}, {"key_pair", 1}, {"security_group", 1}}));
  const std::vector<std::string> summary = summaryOf(deployed.err);
  const std::string created = summaryLine(summary, "created ");
  for (const char* kind : {"3 instances", "3 Elastic IPs", "1 security group", "1 key pair"})
    EXPECT_NE(created.find(kind), std::string::npos) << kind << " in: " << created;
  EXPECT_TRUE(std::regex_match(summaryLine(summary, "ended "),
                               std::regex(R"(probe_deploy: ended with status 0 after (\d+ min )?\d+ s)")))
      << deployed.err;
  EXPECT_NE(summaryLine(summary, "output configuration: ").find("out.json"), std::string::npos) << deployed.err;
  const std::string log_line = summaryLine(summary, "log file: ");
  ASSERT_FALSE(log_line.empty()) << deployed.err;
  EXPECT_TRUE(fs::equivalent(cwd() / log_line.substr(log_line.find(": ", std::string(kPrefix).size()) + 2),
                             cwd() / "backups" / "log" / "quorvane_testlibs.log"));
  const std::string key_line = summaryLine(summary, "key file: ");
  ASSERT_FALSE(key_line.empty()) << deployed.err;
  EXPECT_TRUE(fs::exists(cwd() / key_line.substr(key_line.find(": ", std::string(kPrefix).size()) + 2))) << key_line;
  const std::string revert_line = summaryLine(summary, "to remove what was made, run: ");
  ASSERT_FALSE(revert_line.empty()) << deployed.err;
  const std::string revert_command = revert_line.substr(revert_line.find("run: ") + 5);
  EXPECT_EQ(revert_command, "probe_deploy --revert --test_config in.json --region us-east-1");
  expectLoggedToo(summary);

  // The same in the JSON file.
  const Json deploy_json = summaryFile("deploy.json");
  EXPECT_EQ(deploy_json.at("program"), "probe_deploy");
  EXPECT_EQ(deploy_json.at("dry_run"), false);
  EXPECT_EQ(deploy_json.at("exit_status"), 0);
  EXPECT_EQ(deploy_json.at("created").get<Counts>(), made);
  EXPECT_TRUE(deploy_json.at("removed").empty());
  EXPECT_EQ(deploy_json.at("next_command"), revert_command);
  EXPECT_TRUE(fs::exists(cwd() / deploy_json.at("paths").at("output_configuration").get<std::string>()));

  // A dry run of the revert says what it would remove and changes nothing.
  std::vector<std::string> revert_args = words(revert_command);
  revert_args.erase(revert_args.begin());
  std::vector<std::string> dry_args = revert_args;
  dry_args.insert(dry_args.end(), {"--dry_run", "--summary_json", "dry.json"});
  sandbox().clearRequests();
  const ProcessResult dry = runProgram(programPath("probe_deploy"), dry_args, cwd(), environment());
  ASSERT_EQ(dry.status, 0) << dry.err;
  EXPECT_TRUE(changingRequests().empty());
  EXPECT_EQ(madeByKind(), made);
  const std::vector<std::string> dry_summary = summaryOf(dry.err);
  const std::string would = summaryLine(dry_summary, "would remove ");
  EXPECT_NE(would.find("3 instances"), std::string::npos) << dry.err;
  EXPECT_TRUE(summaryLine(dry_summary, "removed ").empty()) << dry.err;
  EXPECT_NE(summaryLine(dry_summary, "dry run ended with status 0 after ").find(" s"), std::string::npos) << dry.err;
  EXPECT_TRUE(summaryLine(dry_summary, "to remove what was made").empty()) << "nothing was made";
  expectLoggedToo(dry_summary);
  const Json dry_json = summaryFile("dry.json");
  EXPECT_EQ(dry_json.at("dry_run"), true);
  EXPECT_EQ(dry_json.at("removed").value("instance", 0), 3);
  EXPECT_TRUE(dry_json.at("next_command").is_null());

  // The revert the deployment named removes everything it counted.
  revert_args.insert(revert_args.end(), {"--summary-json", "revert.json"});
  const ProcessResult reverted = runProgram(programPath("probe_deploy"), revert_args, cwd(), environment());
  ASSERT_EQ(reverted.status, 0) << reverted.err;
  EXPECT_TRUE(std::regex_search(reverted.err, std::regex(R"(\nwaiting for terminations: [0-3] of [1-3] instances )"
                                                         R"(terminated \((\d+ min )?\d+ s\)\n)")))
      << reverted.err;
  EXPECT_TRUE(toolLeftovers(sandbox().state()).empty()) << joined(toolLeftovers(sandbox().state()));
  const std::vector<std::string> revert_summary = summaryOf(reverted.err);
  const std::string removed = summaryLine(revert_summary, "removed ");
  for (const char* kind : {"3 instances", "3 Elastic IPs", "1 security group", "1 key pair"})
    EXPECT_NE(removed.find(kind), std::string::npos) << kind << " in: " << removed;
  EXPECT_TRUE(summaryLine(revert_summary, "left ").empty()) << reverted.err;
  expectLoggedToo(revert_summary);
  const Json revert_json = summaryFile("revert.json");
  EXPECT_EQ(revert_json.at("removed").get<Counts>(), made);
  EXPECT_TRUE(revert_json.at("left").empty());
  EXPECT_TRUE(revert_json.at("created").empty());
  EXPECT_EQ(revert_json.at("exit_status"), 0);
}

TEST_F(DeploySummaryTest, ADryRunReportsTheIamObjectsItMakesAsCreatedAndNamesTheRevert) {
  prepare(1);
  const ProcessResult dry = deploy({"--dry_run", "--ec2_role", "default", "--summary_json", "dry.json"});
  ASSERT_EQ(dry.status, 0) << dry.err;
  const std::vector<std::string> summary = summaryOf(dry.err);
  EXPECT_EQ(summaryLine(summary, "created "), "probe_deploy: created 3 IAM objects (a dry run makes these too)")
      << dry.err;
  const std::string would = summaryLine(summary, "would create ");
  EXPECT_NE(would.find("1 instance"), std::string::npos) << dry.err;
  EXPECT_EQ(would.find("IAM"), std::string::npos) << would;
  const std::string revert = "probe_deploy --revert --test_config in.json --region us-east-1 --ec2_role default";
  EXPECT_EQ(summaryLine(summary, "to remove what was made, run: "),
            std::string(kPrefix) + "to remove what was made, run: " + revert)
      << dry.err;
  const Json json = summaryFile("dry.json");
  EXPECT_EQ(json.at("created").get<Counts>(), (Counts{{"IAM_object", 3}}));
  EXPECT_EQ(json.at("would_create").value("instance", 0), 1);
  EXPECT_EQ(json.at("next_command"), revert);
}

// The ids a JSON summary lists for `kind` under `change`.
std::set<std::string> idsOf(const Json& summary, const char* change, const char* kind) {
  std::set<std::string> ids;
  for (const Json& item : summary.at("resources").at(change).value(kind, Json::array()))
    ids.insert(item.at("id").get<std::string>());
  return ids;
}

// The ids of the sandbox's leftovers of one kind ("instance ", "address "):
// the word after the kind.
std::set<std::string> leftoverIds(const std::vector<std::string>& leftovers, const std::string& kind) {
  std::set<std::string> ids;
  for (const std::string& item : leftovers) {
    if (!item.starts_with(kind)) continue;
    const std::string rest = item.substr(kind.size());
    ids.insert(rest.substr(0, rest.find(' ')));
  }
  return ids;
}

TEST_F(DeploySummaryTest, AFailedDeploymentsJsonNamesTheFailureWithItsSubnetAndCodeAndListsTheIdsThatExist) {
  prepare(3);
  sandbox().addFaults(Json{{"service", "ec2"},
                           {"operation", "RunInstances"},
                           {"error", {{"code", "UnauthorizedOperation"}, {"status", 403}, {"message", "injected"}}},
                           {"dry_run", false},
                           {"count", 1}});
  const ProcessResult deployed = deploy({"--summary_json", "failed.json"});
  ASSERT_EQ(deployed.status, 1) << deployed.err;
  const Json json = summaryFile("failed.json");
  EXPECT_EQ(json.at("exit_status"), 1);
  EXPECT_TRUE(json.at("wall_time_seconds").is_number_float()) << json.dump();

  // The one refused launch, with the subnet its entry names, then the
  // run's own ERROR record that its entry has no addresses.
  ASSERT_EQ(json.at("errors").size(), 2u) << json.dump(2);
  const Json& error = json.at("errors").at(0);
  EXPECT_EQ(error.at("code"), "UnauthorizedOperation");
  const std::string failed = error.at("subnet");
  EXPECT_TRUE(error.at("step").get<std::string>().starts_with("launch in " + failed + " (zone ")) << error;
  EXPECT_NE(error.at("message").get<std::string>().find("injected"), std::string::npos) << error;
  const Json& unrecorded = json.at("errors").at(1);
  EXPECT_TRUE(unrecorded.at("subnet").is_null()) << unrecorded;
  EXPECT_TRUE(unrecorded.at("code").is_null()) << unrecorded;
  EXPECT_EQ(unrecorded.at("message"), "1 entries are not recorded with ec2_ip and ec2_2nd_private_ip: " + failed);
  std::map<std::string, std::string> outcomes;
  for (const Json& entry : json.at("entries")) outcomes[entry.at("subnet")] = entry.at("outcome");
  ASSERT_EQ(outcomes.size(), 3u) << json.dump(2);
  for (const auto& entry : inputConfig()) {
    const std::string subnet = entry.at("private_subnet_id");
    EXPECT_EQ(outcomes[subnet], subnet == failed ? "failed" : "deployed") << subnet;
  }

  // Every id the sandbox holds, by kind; each instance with its test subnet.
  const std::vector<std::string> leftovers = toolLeftovers(sandbox().state());
  EXPECT_EQ(idsOf(json, "created", "instance"), leftoverIds(leftovers, "instance "));
  EXPECT_EQ(idsOf(json, "created", "Elastic_IP"), leftoverIds(leftovers, "address "));
  EXPECT_EQ(idsOf(json, "created", "security_group"), leftoverIds(leftovers, "security group "));
  EXPECT_EQ(idsOf(json, "created", "key_pair"), leftoverIds(leftovers, "key pair "));
  EXPECT_EQ(idsOf(json, "created", "instance").size(), 2u);
  for (const Json& instance : json.at("resources").at("created").at("instance")) {
    EXPECT_TRUE(outcomes.contains(instance.at("subnet"))) << instance;
    EXPECT_NE(instance.at("subnet"), failed) << instance;
  }
  EXPECT_EQ(json.at("next_command"), "probe_deploy --revert --test_config in.json --region us-east-1");
  EXPECT_TRUE(json.at("s3_objects").empty()) << "no --s3_bucket";

  // The revert lists what it removed by the same ids.
  const ProcessResult reverted = runProgram(
      programPath("probe_deploy"),
      {"--revert", "--test_config", "in.json", "--region", "us-east-1", "--summary_json", "revert.json"}, cwd(),
      environment());
  ASSERT_EQ(reverted.status, 0) << reverted.err;
  const Json revert = summaryFile("revert.json");
  EXPECT_EQ(idsOf(revert, "removed", "instance"), idsOf(json, "created", "instance"));
  EXPECT_EQ(idsOf(revert, "removed", "Elastic_IP"), idsOf(json, "created", "Elastic_IP"));
  EXPECT_EQ(idsOf(revert, "removed", "key_pair"), idsOf(json, "created", "key_pair"));
  EXPECT_TRUE(revert.at("errors").empty()) << revert.dump(2);
  EXPECT_EQ(revert.at("entries").size(), 3u);
  for (const Json& entry : revert.at("entries")) EXPECT_EQ(entry.at("outcome"), "removed") << entry;
}

TEST_F(DeploySummaryTest, AnInputCheckThatFailsNamesTheFailureAndNoRevert) {
  prepare(1);
  writeConfig(nlohmann::ordered_json::array());
  const ProcessResult deployed = deploy({"--summary_json", "empty.json"});
  ASSERT_EQ(deployed.status, 1) << deployed.err;
  EXPECT_TRUE(changingRequests().empty());
  const Json json = summaryFile("empty.json");
  EXPECT_TRUE(json.at("next_command").is_null()) << json.dump(2);
  ASSERT_EQ(json.at("errors").size(), 1u) << json.dump(2);
  EXPECT_TRUE(json.at("errors").at(0).at("subnet").is_null());
  EXPECT_NE(json.at("errors").at(0).at("message").get<std::string>().find("no entry"), std::string::npos);
  EXPECT_TRUE(json.at("entries").empty());
  EXPECT_TRUE(json.at("resources").at("created").empty());
}

}  // namespace
}  // namespace qvn::e2e
