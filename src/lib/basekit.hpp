#pragma once
// Common helpers shared by both programs and the library components.
#include <optional>
#include <string>

namespace qvn {

class Common {
 public:
  // Adds the level DETAIL (15, operation "detail"), makes sure the folder
  // `log_output_path` + "/log" exists and applies the logging configuration
  // with the log file quorvane_testlibs.log in that folder (appended to).
  // Meant to run once per process: a second call fails (DETAIL exists).
  static void initLogLocation(const std::string& log_output_path);

  // Names the level `levelNum` as `levelName` and adds the logging operation
  // `methodName` (default: `levelName` in lower case) to every logger and to
  // the facility. Throws AttributeError "<name> already defined in logging
  // module" / "... in logger class" when a name is taken; nothing changes then.
  static void addLoggingLevel(const std::string& levelName, int levelNum,
                              const std::optional<std::string>& methodName = std::nullopt);

  // Writes the command banner: seven INFO records, the command in the middle
  // of two rows of 45 '#' with empty records around them.
  static void logCommandOptions(const std::string& command);

  // `text` without a leading `prefix` (removed once); otherwise unchanged.
  static std::string remove_prefix(const std::string& text, const std::string& prefix);
};

}  // namespace qvn
