#pragma once
// The last word of an interrupted run: one ERROR record naming the signal
// and the exact command that cleans up or finishes the job, e.g.
//
//   **Error** interrupted by SIGTERM; to remove what was made, run: probe_deploy --revert --test_config in.config
//
// The command's words are quoted for a POSIX shell where they need it, so
// that it can be pasted as it is.
#include <string>
#include <utility>
#include <vector>

#include "core/logging.hpp"

namespace qvn::core {

// `word` as a POSIX shell reads it back: unchanged when it holds only
// letters, digits and _ - . / , : = @ % +; otherwise in single quotes
// (a ' inside becomes '\'').
std::string shellWord(const std::string& word);

// The words joined by blanks, each one through shellWord.
std::string shellCommand(const std::vector<std::string>& words);

// Logs at ERROR "  **Error** interrupted by <signal>; <what_to_do>: <command>"
// (<signal>: interruption_signals_text()).
void logInterruption(Logger& log, const std::string& what_to_do, const std::vector<std::string>& command);

// "no call in flight", "1 call in flight (RunInstances)", "3 calls in
// flight (RunInstances 2, DescribeInstances 1)".
std::string callsInFlightText(const std::vector<std::pair<std::string, int>>& calls);

// The line told at once on the first signal, at WARNING:
// "  **Alert** SIGINT: waiting for <calls>; a second signal abandons them;
// <what_to_do>: <command>".
void logWindingDown(Logger& log, const std::vector<std::pair<std::string, int>>& calls, const std::string& what_to_do,
                    const std::vector<std::string>& command);

}  // namespace qvn::core
