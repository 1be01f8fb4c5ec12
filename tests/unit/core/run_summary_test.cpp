// The end-of-run summary: counts from several threads, the wording of a
// real and a dry run, durations, and the JSON form.
#include "core/run_summary.hpp"
#include "core/run_outcome.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <stdexcept>
#include <thread>
#include <vector>

namespace qvn::core {
namespace {

TEST(RunTally, CountsFromManyThreadsAddUp) {
  RunTally tally;
  std::vector<std::thread> workers;
  for (int t = 0; t < 8; ++t)
    workers.emplace_back([&tally] {
      for (int i = 0; i < 500; ++i) tally.add(Change::Created, "instance");
    });
  for (auto& worker : workers) worker.join();
  EXPECT_EQ(tally.count(Change::Created, "instance"), 4000);
  EXPECT_EQ(tally.count(Change::Removed, "instance"), 0);
}

TEST(RunTally, KeepsKindsInFirstCountedOrderAndTheLastPathPerLabel) {
  RunTally tally;
  tally.add(Change::Created, "security group");
  tally.add(Change::Created, "instance", 2);
  tally.add(Change::Created, "security group");
  tally.notePath("key file", "/a.pem");
  tally.notePath("key file", "/b.pem");
  tally.notePath("log file", "");
  const auto counts = tally.counts(Change::Created);
  ASSERT_EQ(counts.size(), 2u);
  EXPECT_EQ(counts[0], std::make_pair(std::string("security group"), 2));
  EXPECT_EQ(counts[1], std::make_pair(std::string("instance"), 2));
  ASSERT_EQ(tally.paths().size(), 1u);
  EXPECT_EQ(tally.paths()[0].second, "/b.pem");
}

TEST(RunTally, IsEmptyUntilSomethingIsCountedPathsAside) {
  RunTally tally;
  tally.notePath("log file", "/x.log");
  tally.add(Change::Left, "instance", 0);
  EXPECT_TRUE(tally.empty());
  tally.add(Change::Left, "instance");
  EXPECT_FALSE(tally.empty());
}

TEST(RunSummaryText, DurationsAndPlurals) {
  EXPECT_EQ(durationText(Seconds(45.9)), "45 s");
  EXPECT_EQ(durationText(Seconds(135)), "2 min 15 s");
  EXPECT_EQ(durationText(Seconds(3785)), "1 h 3 min 5 s");
  EXPECT_EQ(durationText(Seconds(-3)), "0 s");
  EXPECT_EQ(countText(1, "key pair"), "1 key pair");
  EXPECT_EQ(countText(3, "entry"), "3 entries");
  EXPECT_EQ(countText(2, "Elastic IP"), "2 Elastic IPs");
}

RunSummary deployment(const RunTally& tally, bool dry_run) {
  RunSummary summary;
  summary.program = "probe_deploy";
  summary.dry_run = dry_run;
  summary.tally = &tally;
  summary.wall_time = Seconds(75);
  summary.next_step = "to remove what was made, run";
  summary.next_command = {"probe_deploy", "--revert", "--test_config", "my config.json"};
  return summary;
}

TEST(RunSummaryText, RealRunSaysWhatWasDoneWithPathsAndTheQuotedCommand) {
  RunTally tally;
  tally.add(Change::Created, "instance", 2);
  tally.add(Change::Created, "key pair");
  tally.add(Change::Adopted, "security group");
  tally.add(Change::Left, "Elastic IP", 0);
  tally.notePath("log file", "backups/log/x.log");
  const std::vector<std::string> expected = {
      "probe_deploy: created 2 instances, 1 key pair",
      "probe_deploy: adopted 1 security group",
      "probe_deploy: ended with status 0 after 1 min 15 s",
      "probe_deploy: log file: backups/log/x.log",
      "probe_deploy: to remove what was made, run: probe_deploy --revert --test_config 'my config.json'",
  };
  EXPECT_EQ(summaryLines(deployment(tally, false)), expected);
}

TEST(RunSummaryText, DryRunSaysWould) {
  RunTally tally;
  tally.add(Change::Created, "instance", 2);
  tally.add(Change::Removed, "Elastic IP");
  const auto lines = summaryLines(deployment(tally, true));
  EXPECT_EQ(lines[0], "probe_deploy: would create 2 instances");
  EXPECT_EQ(lines[1], "probe_deploy: would remove 1 Elastic IP");
  EXPECT_EQ(lines[2], "probe_deploy: dry run ended with status 0 after 1 min 15 s");

  // What steps make whatever the dry-run setting says is told as created,
  // apart; in a real run it is just created.
  RunTally mixed;
  mixed.add(Change::Created, "instance");
  mixed.add(Change::Made, "IAM object", 3);
  mixed.add(Change::Made, "instance");
  const auto dry = summaryLines(deployment(mixed, true));
  EXPECT_EQ(dry[0], "probe_deploy: created 3 IAM objects, 1 instance (a dry run makes these too)");
  EXPECT_EQ(dry[1], "probe_deploy: would create 1 instance");
  EXPECT_EQ(summaryLines(deployment(mixed, false))[0], "probe_deploy: created 3 IAM objects, 2 instances");
  const nlohmann::json dry_json = nlohmann::json::parse(summaryJson(deployment(mixed, true)));
  EXPECT_EQ(dry_json["created"], (nlohmann::json{{"IAM_object", 3}, {"instance", 1}}));
  EXPECT_EQ(dry_json["would_create"], (nlohmann::json{{"instance", 1}}));
  const nlohmann::json real_json = nlohmann::json::parse(summaryJson(deployment(mixed, false)));
  EXPECT_EQ(real_json["created"]["instance"], 2);
  EXPECT_FALSE(real_json.contains("would_create"));

  RunTally empty;
  EXPECT_EQ(summaryLines(deployment(empty, true))[0], "probe_deploy: would change nothing");
  EXPECT_EQ(summaryLines(deployment(empty, false))[0], "probe_deploy: changed nothing");
}

TEST(RunSummaryJson, HoldsTheSameFactsAndEscapesText) {
  RunTally tally;
  tally.add(Change::Removed, "instance", 3);
  tally.add(Change::Left, "IAM object");
  tally.notePath("output configuration", "out \"1\".json");
  tally.addResource(Change::Created, "instance", "i-1", "subnet-1");
  tally.addResource(Change::Created, "key pair", "k\n1");
  tally.addResource(Change::Made, "IAM object", "role r");
  tally.noteFailure({"subnet-2", "launch in subnet-2", "UnauthorizedOperation", "RunInstances: \"no\""});
  tally.noteFailure({"", "run", "", "no entry"});
  tally.noteEntry("subnet-2", "not deployed");
  tally.noteEntry("subnet-1", "deployed");
  tally.noteEntry("subnet-2", "failed");
  tally.noteS3Object("s3://b/backups/vpc-1/k.pem");
  RunSummary summary = deployment(tally, false);
  summary.exit_status = 1;
  summary.wall_time = Seconds(75.2504);
  const nlohmann::json json = nlohmann::json::parse(summaryJson(summary));
  EXPECT_EQ(json["program"], "probe_deploy");
  EXPECT_EQ(json["dry_run"], false);
  EXPECT_EQ(json["exit_status"], 1);
  EXPECT_DOUBLE_EQ(json["wall_time_seconds"].get<double>(), 75.25);
  EXPECT_EQ(json["created"], (nlohmann::json{{"instance", 1}, {"key_pair", 1}, {"IAM_object", 1}}));
  EXPECT_EQ(json["resources"]["created"],
            nlohmann::json::parse(R"({"IAM_object": [{"id": "role r"}], "instance": [{"id": "i-1", "subnet": "subnet-1"}],
                                      "key_pair": [{"id": "k\n1"}]})"));
  EXPECT_TRUE(json["resources"]["removed"].empty()) << "ids only where they were given";
  EXPECT_EQ(json["errors"], nlohmann::json::parse(R"([
      {"subnet": "subnet-2", "step": "launch in subnet-2", "code": "UnauthorizedOperation", "message": "RunInstances: \"no\""},
      {"subnet": null, "step": "run", "code": null, "message": "no entry"}])"));
  EXPECT_EQ(json["entries"], nlohmann::json::parse(R"([{"subnet": "subnet-2", "outcome": "failed"},
                                                      {"subnet": "subnet-1", "outcome": "deployed"}])"));
  EXPECT_EQ(json["s3_objects"], nlohmann::json::array({"s3://b/backups/vpc-1/k.pem"}));
  EXPECT_EQ(json["removed"]["instance"], 3);
  EXPECT_EQ(json["left"]["IAM_object"], 1);
  EXPECT_EQ(json["paths"]["output_configuration"], "out \"1\".json");
  EXPECT_EQ(json["next_command"], "probe_deploy --revert --test_config 'my config.json'");
}

TEST(ErrorRecordsNoted, EveryErrorRecordIsAFailureButOnesTheStepNotesItself) {
  RunTally tally;
  {
    const ErrorRecordsNoted noted(tally, [] { return std::string("subnet-1"); });
    packageLogger().error("  **Error** spoke spoke1-hagw private_ip not found");
    packageLogger().warning("  **Warning** not a failure");
    {
      const FailureNotedByStep by_step;
      packageLogger().error("  **Error** launch in subnet-1: noted by the step");
    }
    getLogger("quorvane_testlibs.bin.lib.s3")->error("from a child logger");
  }
  packageLogger().error("after the run");
  const std::vector<RunFailure> failures = tally.failures();
  ASSERT_EQ(failures.size(), 2u);
  EXPECT_EQ(failures[0].message, "spoke spoke1-hagw private_ip not found");
  EXPECT_EQ(failures[0].subnet, "subnet-1");
  EXPECT_EQ(failures[0].code, "");
  EXPECT_EQ(failures[1].message, "from a child logger");
}

// Every way a run can end is summarised once, with the status it ends with,
// and the exit or exception still reaches the caller.
TEST(RunWithSummary, SummarisesEveryEndingOnceAndLetsItGoOn) {
  std::vector<int> seen;
  const auto note = [&seen](int status) { seen.push_back(status); };

  EXPECT_EQ(runWithSummary([] { return 3; }, note), 3);
  try {
    runWithSummary([]() -> int { throw ProgramExit{130}; }, note);
    ADD_FAILURE() << "the exit was swallowed";
  } catch (const ProgramExit& exit) {
    EXPECT_EQ(exit.status, 130);
  }
  EXPECT_THROW(runWithSummary([]() -> int { throw std::runtime_error("boom"); }, note), std::runtime_error);

  EXPECT_EQ(seen, (std::vector<int>{3, 130, 1}));
}

}  // namespace
}  // namespace qvn::core
