#include "lib/basekit.hpp"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "aws/text_codec.hpp"
#include "core/logging.hpp"
#include "core/logsetup.hpp"

namespace qvn {

namespace {

Logger* logger() { return getLogger("quorvane_testlibs.bin.lib.basekit"); }

}  // namespace

void Common::initLogLocation(const std::string& log_output_path) {
  addLoggingLevel("DETAIL", INFO - 5);
  const std::string target_folder = log_output_path + "/log";
  if (!std::filesystem::exists(target_folder)) {
    std::error_code error;
    std::filesystem::create_directories(target_folder, error);
    if (error) throw std::runtime_error("cannot create log folder " + target_folder + ": " + error.message());
  }

  LoggingConfig& config = logging_config();
  config.handler("logConsoleHandler").filename = target_folder + "/quorvane_testlibs.log";
  config.handler("logConsoleHandler").level = DETAIL;
  config.handler("consoleHandler").level = DETAIL;
  applyLoggingConfig(config);
}

void Common::addLoggingLevel(const std::string& levelName, int levelNum, const std::optional<std::string>& methodName) {
  const std::string method = (methodName && !methodName->empty()) ? *methodName : aws::text::lower(levelName);
  // Every check comes before any change, so a refused call changes nothing.
  if (facilityHasName(levelName)) throw AttributeError(levelName + " already defined in logging module");
  if (facilityHasName(method)) throw AttributeError(method + " already defined in logging module");
  if (loggerHasOperation(method)) throw AttributeError(method + " already defined in logger class");
  registerLevel(levelName, levelNum, method);
}

void Common::logCommandOptions(const std::string& command) {
  const std::string row(45, '#');
  Logger* log = logger();
  log->info("");
  log->info(row);
  log->info("");
  log->info(command);
  log->info("");
  log->info(row);
  log->info("");
}

std::string Common::remove_prefix(const std::string& text, const std::string& prefix) {
  if (text.starts_with(prefix)) return text.substr(prefix.size());
  return text;
}

}  // namespace qvn
