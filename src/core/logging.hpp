#pragma once
// The toolkit's logging facility.
//
// API summary
//   auto* log = qvn::getLogger("quorvane_testlibs.bin.lib.s3");
//   log->info("- Upload " + name);         // also debug, detail, warning,
//   log->error("  **Error** " + text);      // error, critical, log(level, msg)
//   log->logLazy(qvn::DEBUG, [&] { return costly(); });  // built only if enabled
//
//   Levels: DEBUG 10, DETAIL 15, INFO 20, WARNING 30, ERROR 40, CRITICAL 50.
//   Loggers form a tree by dotted names ("a.b" is a child of "a"); the root is
//   getLogger(""). A logger without its own level (NOTSET) takes the nearest
//   ancestor's. A record is offered to the handlers of its logger, then, while
//   `propagate` is true, to those of each ancestor; every handler applies its
//   own threshold and writes one whole record at a time under its own lock.
//   When no handler at all is found, WARNING and above go to standard error
//   as bare lines, so nothing important is lost before logging is set up.
//
//   Custom levels: registerLevel("TRACE", 5, "trace") names a level and adds
//   the operation "trace", reachable as logger->call("trace", msg) and, through
//   the root logger, as qvn::logging_call("trace", msg). The checks that
//   refuse names already in use live in Common::addLoggingLevel (lib/basekit).
//
//   The facility is configured from data: see core/logsetup.hpp. Tests can
//   start from a clean facility with resetLoggingForTesting() and collect
//   records with the CaptureHandler of tests/unit/core/log_capture.hpp.
#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "core/clock.hpp"

namespace qvn {

constexpr int NOTSET = 0;
constexpr int DEBUG = 10;
constexpr int DETAIL = 15;
constexpr int INFO = 20;
constexpr int WARNING = 30;
constexpr int ERROR = 40;
constexpr int CRITICAL = 50;

// A name that the facility already uses, or an operation it does not have.
class AttributeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct LogRecord {
  std::string name;  // logger name ("root" for the root logger)
  int levelno = NOTSET;
  std::string levelname;
  std::string message;
  core::TimePoint created;
};

// %-style record format: %(asctime)s, %(message)s, %(levelname)s, %(name)s,
// %(levelno)s and %% are understood; anything else is copied as it stands.
class Formatter {
 public:
  explicit Formatter(std::string fmt = "%(message)s");
  std::string format(const LogRecord& record) const;
  const std::string& pattern() const { return fmt_; }

  // "2024-01-15 12:00:00,123" in local time.
  static std::string formatTime(core::TimePoint t);

 private:
  enum class Field { Text, AscTime, Message, LevelName, Name, LevelNo };
  struct Piece {
    Field field;
    std::string text;
  };
  std::string fmt_;
  std::vector<Piece> pieces_;
};

class Handler {
 public:
  explicit Handler(int level = NOTSET) : level_(level) {}
  virtual ~Handler() = default;
  Handler(const Handler&) = delete;
  Handler& operator=(const Handler&) = delete;

  void setLevel(int level) { level_.store(level, std::memory_order_relaxed); }
  int level() const { return level_.load(std::memory_order_relaxed); }
  void setFormatter(std::shared_ptr<const Formatter> formatter);

  // Applies the threshold, then formats and emits under the handler's lock.
  void handle(const LogRecord& record);

 protected:
  // Called with the handler's lock held.
  virtual void emit(const LogRecord& record) = 0;
  std::string format(const LogRecord& record) const;

 private:
  std::atomic<int> level_;
  std::mutex lock_;
  std::shared_ptr<const Formatter> formatter_;
};

using HandlerPtr = std::shared_ptr<Handler>;

// One line per record to a C stream (standard error by default), flushed.
class StreamHandler : public Handler {
 public:
  explicit StreamHandler(std::FILE* stream = stderr, int level = NOTSET);

 protected:
  void emit(const LogRecord& record) override;

 private:
  std::FILE* stream_;
};

// One line per record to a file, flushed after each record. The file is
// opened when the handler is made; failure throws std::runtime_error.
class FileHandler : public Handler {
 public:
  FileHandler(const std::string& filename, const std::string& mode = "a", int level = NOTSET);
  ~FileHandler() override;
  const std::string& filename() const { return filename_; }

 protected:
  void emit(const LogRecord& record) override;

 private:
  std::string filename_;
  std::FILE* file_ = nullptr;
};

class Logger {
 public:
  const std::string& name() const { return name_; }
  Logger* parent() const { return parent_; }

  void setLevel(int level) { level_.store(level, std::memory_order_relaxed); }
  int level() const { return level_.load(std::memory_order_relaxed); }
  int getEffectiveLevel() const;
  bool isEnabledFor(int level) const;

  void setPropagate(bool on) { propagate_.store(on, std::memory_order_relaxed); }
  bool propagate() const { return propagate_.load(std::memory_order_relaxed); }

  void addHandler(HandlerPtr handler);
  void removeHandler(const HandlerPtr& handler);
  void clearHandlers();
  std::vector<HandlerPtr> handlers() const;

  void log(int level, const std::string& message);
  void debug(const std::string& message) { log(DEBUG, message); }
  void detail(const std::string& message) { log(DETAIL, message); }
  void info(const std::string& message) { log(INFO, message); }
  void warning(const std::string& message) { log(WARNING, message); }
  void error(const std::string& message) { log(ERROR, message); }
  void critical(const std::string& message) { log(CRITICAL, message); }

  // Builds the message only when the level is enabled:
  //   log->logLazy(DEBUG, [&] { return "state " + describe(x); });
  template <class MakeMessage>
  void logLazy(int level, MakeMessage&& make) {
    if (isEnabledFor(level)) log(level, std::forward<MakeMessage>(make)());
  }

  // Logs through a named operation ("info", or one added by registerLevel).
  // Throws AttributeError for an operation the logger does not have.
  void call(const std::string& operation, const std::string& message);

  // Sends a made record to the handlers of this logger and its ancestors.
  void handle(const LogRecord& record);

 private:
  friend class LoggerTree;
  Logger(std::string name, Logger* parent);

  std::string name_;
  Logger* parent_;
  std::atomic<int> level_{NOTSET};
  std::atomic<bool> propagate_{true};
  mutable std::mutex handlers_lock_;
  std::shared_ptr<const std::vector<HandlerPtr>> handlers_;
};

// The logger of that dotted name, made on first use and kept for the whole
// process; "" (or "root") is the root logger. Never null.
Logger* getLogger(const std::string& name = "");

// The package's own logger, "quorvane_testlibs", that the programs' steps
// write to.
Logger& packageLogger();

// For a program or test that uses the libraries without the programs'
// logging set-up: the package logger's records from `level` up go to
// standard error as bare lines. Calling it again only changes the level.
void logToStandardError(int level = INFO);

// Level names: "INFO" for 20, "DETAIL" once registered, else "Level N".
std::string getLevelName(int level);
void addLevelName(int level, const std::string& name);

// The value of a named level constant (DEBUG, INFO, ..., and registered ones).
std::optional<int> levelConstant(const std::string& name);

// Whether `name` is already used by the facility (a level constant or one of
// its operations) or by the logger type (one of its operations).
bool facilityHasName(const std::string& name);
bool loggerHasOperation(const std::string& name);

// Names the level, makes it a level constant, and adds the operation
// `methodName` to every logger and to the facility. No checks here.
void registerLevel(const std::string& levelName, int levelNum, const std::string& methodName);

// The facility's own logging operations: log through the root logger.
void logging_call(const std::string& operation, const std::string& message);

// Records below or at this level are dropped everywhere (NOTSET: none).
void disable(int level);

// Test support: back to the state at process start (no handlers, root at
// WARNING, loggers at NOTSET and propagating, no custom levels).
void resetLoggingForTesting();

}  // namespace qvn
