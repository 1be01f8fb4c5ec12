#pragma once
// How both programs end: the summary lines at INFO and, when asked, the
// same summary as a JSON file.
#include <exception>
#include <functional>
#include <optional>
#include <string>

#include "core/logging.hpp"
#include "core/run_summary.hpp"

namespace qvn {

// Logs the summary at INFO (console and log file) and, with a JSON path,
// writes it there too. A run that failed before it counted anything (bad
// input, no credentials, a refused check) ends with its one error line and
// no summary lines. A file that cannot be written is reported on standard
// error and in the log; the run's status is left as it is.
void endOfRunSummary(const core::RunSummary& summary, const std::optional<std::string>& json_path, Logger& log);

// `failure` as the summary lists it: with its AWS code when it is an AWS
// refusal, and the refused operation as its step when `step` is empty.
core::RunFailure runFailureOf(const std::string& subnet, const std::string& step, const std::exception& failure);

// Runs `run`; a failure that ends it is noted in `tally` (step "run") and
// goes on to the caller.
int notingEndingFailure(core::RunTally& tally, const std::function<int()>& run);

}  // namespace qvn
