#include "lib/run_ending.hpp"

#include "aws/errors.hpp"
#include "core/run_outcome.hpp"
#include "lib/file_writer.hpp"

namespace qvn {

void endOfRunSummary(const core::RunSummary& summary, const std::optional<std::string>& json_path, Logger& log) {
  const bool failed_early = summary.exit_status != 0 && (!summary.tally || summary.tally->empty());
  if (!failed_early) core::logSummary(summary, log);
  if (!json_path || json_path->empty()) return;
  try {
    writeFile(*json_path, core::summaryJson(summary), WriteRules::document());
  } catch (const std::exception& e) {
    core::reportSummaryNotWritten(summary, *json_path, e.what());
  }
}

core::RunFailure runFailureOf(const std::string& subnet, const std::string& step, const std::exception& failure) {
  core::RunFailure noted{subnet, step, "", failure.what()};
  if (const auto* refusal = dynamic_cast<const aws::ServiceError*>(&failure)) {
    noted.code = refusal->code();
    if (noted.step.empty()) noted.step = refusal->operation();
  }
  return noted;
}

int notingEndingFailure(core::RunTally& tally, const std::function<int()>& run) {
  try {
    return run();
  } catch (const ProgramExit&) {
    throw;  // the step that ended the run has said why
  } catch (const std::exception& failure) {
    tally.noteFailure(runFailureOf("", "run", failure));
    throw;
  }
}

}  // namespace qvn
