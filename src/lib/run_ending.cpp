#include "lib/run_ending.hpp"

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

}  // namespace qvn
