#pragma once
// The logging configuration of the whole toolkit, held as data.
//
// logging_config() is the process-wide, editable configuration; Common's
// initLogLocation (lib/basekit) points the file handler at the run's log
// folder, lowers two thresholds and then calls applyLoggingConfig.
//
// As stored:
//   formatters  simple      "%(message)s"
//               simpleTime  "%(asctime)s %(message)s"
//   handlers    consoleHandler      stream (standard error), simple, INFO
//               logConsoleHandler   file "quorvane_testlibs.log", mode "a",
//                                   simpleTime, INFO
//               errorStatusHandler  error status, no formatter, ERROR
//   loggers     quorvane_testlibs   DEBUG, consoleHandler, logConsoleHandler,
//                                   errorStatusHandler; does not propagate
//               root                CRITICAL, consoleHandler
#include <string>
#include <vector>

namespace qvn {

enum class HandlerKind { Stream, File, ErrorStatus };

struct FormatterConfig {
  std::string name;
  std::string format;
};

struct HandlerConfig {
  std::string name;
  HandlerKind kind = HandlerKind::Stream;
  std::string formatter;  // empty: the bare message
  int level = 0;
  std::string filename;    // File only
  std::string mode = "a";  // File only
};

struct LoggerConfig {
  std::string name;  // "" for the root
  int level = 0;
  std::vector<std::string> handlers;
  bool propagate = true;
};

struct LoggingConfig {
  int version = 1;
  std::vector<FormatterConfig> formatters;
  std::vector<HandlerConfig> handlers;
  std::vector<LoggerConfig> loggers;
  LoggerConfig root;

  // The entry of that name; std::out_of_range when there is none.
  HandlerConfig& handler(const std::string& name);
  LoggerConfig& logger(const std::string& name);
};

// The configuration as stored, before anyone edits it.
LoggingConfig defaultLoggingConfig();

// The process-wide configuration (initially defaultLoggingConfig()).
LoggingConfig& logging_config();

// Makes the formatters and handlers (the log file is opened here) and
// attaches them to the configured loggers, replacing their handlers. A
// configuration naming an unknown formatter or handler, or a log file that
// cannot be opened, throws before any logger is changed.
void applyLoggingConfig(const LoggingConfig& config);

// Writes `line` at `level` to the log files of the package logger only: for
// a line that has reached the console already. Nothing before the log is set up.
void recordInLogFiles(const std::string& line, int level);

}  // namespace qvn
