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
  log.error(std::string("  **Error** interrupted by ") + interrupt_signal_name() + "; " + what_to_do + ": " +
            shellCommand(command));
}

}  // namespace qvn::core
