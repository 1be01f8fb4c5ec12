#include "deploy/run_summary.hpp"

#include "lib/file_writer.hpp"

namespace qvn::deploy {

void countChange(core::RunTally* tally, core::Change change, const char* kind) {
  if (tally != nullptr) tally->add(change, kind);
}

void countChange(const DeployArgs& args, core::Change change, const char* kind) {
  countChange(args.tally, change, kind);
}

void notePath(const DeployArgs& args, const char* label, const std::string& path) {
  if (args.tally != nullptr) args.tally->notePath(label, path);
}

const char* leftoverKind(const std::string& item) {
  const auto starts = [&item](const char* prefix) { return item.rfind(prefix, 0) == 0; };
  if (starts("instance profile ") || starts("role ") || starts("policy ")) return kinds::kIamObject;
  if (starts("instance ")) return kinds::kInstance;
  if (starts("Elastic IP")) return kinds::kElasticIp;
  if (starts("security group")) return kinds::kGroup;
  if (starts("key pair")) return kinds::kKeyPair;
  return "other resource";
}

void endOfRunSummary(const core::RunSummary& summary, const std::optional<std::string>& json_path, Logger& log) {
  // A run that failed before it counted anything (bad input, no credentials,
  // a refused check) ends with its one error line and no summary lines.
  const bool failed_early = summary.exit_status != 0 && (!summary.tally || summary.tally->empty());
  if (!failed_early) core::logSummary(summary, log);
  if (!json_path || json_path->empty()) return;
  try {
    writeFile(*json_path, core::summaryJson(summary), WriteRules::document());
  } catch (const std::exception& e) {
    core::reportSummaryNotWritten(summary, *json_path, e.what());
  }
}

}  // namespace qvn::deploy
