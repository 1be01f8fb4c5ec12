#include "core/interruption_notice.hpp"

#include "core/interrupt.hpp"

namespace qvn::core {

namespace {

bool isPlain(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return std::string("_-./,:=@%+").find(c) != std::string::npos;
}

}  // namespace

std::string shellWord(const std::string& word) {
  bool plain = !word.empty();
  for (char c : word) plain = plain && isPlain(c);
  if (plain) return word;
  std::string quoted = "'";
  for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::string shellCommand(const std::vector<std::string>& words) {
  std::string text;
  for (const std::string& word : words) text += (text.empty() ? "" : " ") + shellWord(word);
  return text;
}

void logInterruption(Logger& log, const std::string& what_to_do, const std::vector<std::string>& command) {
  log.error("  **Error** interrupted by " + interruption_signals_text() + "; " + what_to_do + ": " +
            shellCommand(command));
}

std::string callsInFlightText(const std::vector<std::pair<std::string, int>>& calls) {
  int total = 0;
  std::string listed;
  for (const auto& [operation, count] : calls) {
    total += count;
    listed +=
        (listed.empty() ? "" : ", ") + operation + (calls.size() > 1 || count > 1 ? " " + std::to_string(count) : "");
  }
  if (total == 0) return "no call in flight";
  return std::to_string(total) + (total == 1 ? " call" : " calls") + " in flight (" + listed + ")";
}

void logWindingDown(Logger& log, const std::vector<std::pair<std::string, int>>& calls, const std::string& what_to_do,
                    const std::vector<std::string>& command) {
  log.warning(std::string("  **Alert** ") + interrupt_signal_name() + ": waiting for " + callsInFlightText(calls) +
              "; a second signal abandons them; " + what_to_do + ": " + shellCommand(command));
}

}  // namespace qvn::core
