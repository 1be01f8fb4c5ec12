#include "core/logging.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <map>
#include <set>
#include <shared_mutex>
#include <unordered_map>

namespace qvn {

// ---------------------------------------------------------------- registry

namespace {

// Level names, level constants and the names of the operations of the
// facility and of the logger type. One lock; used rarely (set-up, errors).
struct LevelRegistry {
  std::shared_mutex mutex;
  std::map<int, std::string> names;
  std::map<std::string, int> constants;
  std::set<std::string> facility_names;         // the facility's operations and types
  std::set<std::string> logger_names;           // logger operations and members
  std::map<std::string, int> level_operations;  // operation -> level it logs at

  LevelRegistry() { reset(); }

  void reset() {
    names = {{NOTSET, "NOTSET"},   {DEBUG, "DEBUG"}, {INFO, "INFO"},
             {WARNING, "WARNING"}, {ERROR, "ERROR"}, {CRITICAL, "CRITICAL"}};
    constants = {{"NOTSET", NOTSET},   {"DEBUG", DEBUG}, {"INFO", INFO},
                 {"WARNING", WARNING}, {"ERROR", ERROR}, {"CRITICAL", CRITICAL}};
    level_operations = {
        {"debug", DEBUG}, {"info", INFO}, {"warning", WARNING}, {"error", ERROR}, {"critical", CRITICAL}};
    // The facility's own operations and types (this header's API).
    facility_names = {"log",           "getLogger",       "getLevelName",           "addLevelName",
                      "levelConstant", "facilityHasName", "loggerHasOperation",     "registerLevel",
                      "logging_call",  "disable",         "resetLoggingForTesting", "Logger",
                      "Handler",       "Formatter",       "StreamHandler",          "FileHandler",
                      "LogRecord",     "AttributeError"};
    // The logger type's members. "detail" is not among them until the level
    // DETAIL is registered: Logger::detail is only its typed shortcut.
    logger_names = {"log",          "logLazy",       "call",
                    "handle",       "name",          "parent",
                    "setLevel",     "level",         "getEffectiveLevel",
                    "isEnabledFor", "setPropagate",  "propagate",
                    "addHandler",   "removeHandler", "clearHandlers",
                    "handlers"};
    for (const auto& [op, level] : level_operations) {
      (void)level;
      facility_names.insert(op);
      logger_names.insert(op);
    }
  }
};

LevelRegistry& registry() {
  static LevelRegistry instance;
  return instance;
}

std::atomic<int> g_disabled{NOTSET};

std::string levelNameLocked(LevelRegistry& r, int level) {
  auto it = r.names.find(level);
  if (it != r.names.end()) return it->second;
  return "Level " + std::to_string(level);
}

}  // namespace

std::string getLevelName(int level) {
  auto& r = registry();
  std::shared_lock lock(r.mutex);
  return levelNameLocked(r, level);
}

void addLevelName(int level, const std::string& name) {
  auto& r = registry();
  std::lock_guard lock(r.mutex);
  r.names[level] = name;
}

std::optional<int> levelConstant(const std::string& name) {
  auto& r = registry();
  std::shared_lock lock(r.mutex);
  auto it = r.constants.find(name);
  if (it == r.constants.end()) return std::nullopt;
  return it->second;
}

bool facilityHasName(const std::string& name) {
  auto& r = registry();
  std::shared_lock lock(r.mutex);
  return r.constants.count(name) != 0 || r.facility_names.count(name) != 0;
}

bool loggerHasOperation(const std::string& name) {
  auto& r = registry();
  std::shared_lock lock(r.mutex);
  return r.logger_names.count(name) != 0;
}

void registerLevel(const std::string& levelName, int levelNum, const std::string& methodName) {
  auto& r = registry();
  std::lock_guard lock(r.mutex);
  r.names[levelNum] = levelName;
  r.constants[levelName] = levelNum;
  r.level_operations[methodName] = levelNum;
  r.logger_names.insert(methodName);
  r.facility_names.insert(methodName);
}

void disable(int level) { g_disabled.store(level, std::memory_order_relaxed); }

namespace {

std::optional<int> operationLevel(const std::string& operation) {
  auto& r = registry();
  std::shared_lock lock(r.mutex);
  auto it = r.level_operations.find(operation);
  if (it == r.level_operations.end()) return std::nullopt;
  return it->second;
}

}  // namespace

// ---------------------------------------------------------------- formatter

Formatter::Formatter(std::string fmt) : fmt_(std::move(fmt)) {
  static const std::pair<const char*, Field> kFields[] = {{"%(asctime)s", Field::AscTime},
                                                          {"%(message)s", Field::Message},
                                                          {"%(levelname)s", Field::LevelName},
                                                          {"%(name)s", Field::Name},
                                                          {"%(levelno)s", Field::LevelNo}};
  std::string text;
  std::size_t i = 0;
  while (i < fmt_.size()) {
    bool matched = false;
    if (fmt_[i] == '%') {
      if (fmt_.compare(i, 2, "%%") == 0) {
        text += '%';
        i += 2;
        continue;
      }
      for (const auto& [token, field] : kFields) {
        std::size_t len = std::strlen(token);
        if (fmt_.compare(i, len, token) == 0) {
          if (!text.empty()) pieces_.push_back({Field::Text, std::move(text)});
          text.clear();
          pieces_.push_back({field, {}});
          i += len;
          matched = true;
          break;
        }
      }
    }
    if (!matched) text += fmt_[i++];
  }
  if (!text.empty()) pieces_.push_back({Field::Text, std::move(text)});
}

std::string Formatter::formatTime(core::TimePoint t) {
  using namespace std::chrono;
  auto since = t.time_since_epoch();
  auto secs = duration_cast<seconds>(since);
  auto millis = duration_cast<milliseconds>(since - secs).count();
  if (millis < 0) {  // before the epoch: borrow a second
    millis += 1000;
    secs -= seconds(1);
  }
  std::time_t tt = static_cast<std::time_t>(secs.count());
  std::tm tm{};
  localtime_r(&tt, &tm);
  char buf[48];
  std::size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
  std::snprintf(buf + n, sizeof buf - n, ",%03d", static_cast<int>(millis));
  return buf;
}

std::string Formatter::format(const LogRecord& record) const {
  std::string out;
  out.reserve(record.message.size() + 32);
  for (const auto& piece : pieces_) {
    switch (piece.field) {
      case Field::Text:
        out += piece.text;
        break;
      case Field::AscTime:
        out += formatTime(record.created);
        break;
      case Field::Message:
        out += record.message;
        break;
      case Field::LevelName:
        out += record.levelname;
        break;
      case Field::Name:
        out += record.name;
        break;
      case Field::LevelNo:
        out += std::to_string(record.levelno);
        break;
    }
  }
  return out;
}

// ---------------------------------------------------------------- handlers

void Handler::setFormatter(std::shared_ptr<const Formatter> formatter) {
  std::lock_guard lock(lock_);
  formatter_ = std::move(formatter);
}

std::string Handler::format(const LogRecord& record) const {
  if (formatter_) return formatter_->format(record);
  return record.message;
}

void Handler::handle(const LogRecord& record) {
  if (record.levelno < level()) return;
  std::lock_guard lock(lock_);
  emit(record);
}

StreamHandler::StreamHandler(std::FILE* stream, int level) : Handler(level), stream_(stream) {}

void StreamHandler::emit(const LogRecord& record) {
  std::string line = format(record);
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stream_);
  std::fflush(stream_);
}

FileHandler::FileHandler(const std::string& filename, const std::string& mode, int level)
    : Handler(level), filename_(filename) {
  file_ = std::fopen(filename.c_str(), mode.c_str());
  if (file_ == nullptr) {
    throw std::runtime_error("cannot open log file " + filename + ": " + std::strerror(errno));
  }
}

FileHandler::~FileHandler() {
  if (file_ != nullptr) std::fclose(file_);
}

void FileHandler::emit(const LogRecord& record) {
  std::string line = format(record);
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), file_);
  std::fflush(file_);
}

// ---------------------------------------------------------------- loggers

class LoggerTree {
 public:
  static LoggerTree& instance() {
    static LoggerTree tree;
    return tree;
  }

  Logger* get(const std::string& name) {
    if (name.empty() || name == "root") return root_;
    std::lock_guard lock(mutex_);
    return getLocked(name);
  }

  void reset() {
    std::lock_guard lock(mutex_);
    resetOne(*root_, WARNING);
    for (auto& [name, logger] : loggers_) {
      (void)name;
      resetOne(*logger, NOTSET);
    }
  }

 private:
  LoggerTree() {
    auto root = std::unique_ptr<Logger>(new Logger("root", nullptr));
    root->setLevel(WARNING);
    root_ = root.get();
    root_holder_ = std::move(root);
  }

  static void resetOne(Logger& logger, int level) {
    logger.setLevel(level);
    logger.setPropagate(true);
    logger.clearHandlers();
  }

  Logger* getLocked(const std::string& name) {
    auto it = loggers_.find(name);
    if (it != loggers_.end()) return it->second.get();
    // Make the ancestors first, so that every parent link is fixed for good.
    Logger* parent = root_;
    auto dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0) parent = getLocked(name.substr(0, dot));
    auto logger = std::unique_ptr<Logger>(new Logger(name, parent));
    Logger* raw = logger.get();
    loggers_.emplace(name, std::move(logger));
    return raw;
  }

  std::mutex mutex_;
  std::unique_ptr<Logger> root_holder_;
  Logger* root_ = nullptr;
  std::unordered_map<std::string, std::unique_ptr<Logger>> loggers_;
};

Logger::Logger(std::string name, Logger* parent)
    : name_(std::move(name)), parent_(parent), handlers_(std::make_shared<const std::vector<HandlerPtr>>()) {}

int Logger::getEffectiveLevel() const {
  for (const Logger* l = this; l != nullptr; l = l->parent_) {
    int level = l->level();
    if (level != NOTSET) return level;
  }
  return NOTSET;
}

bool Logger::isEnabledFor(int level) const {
  if (g_disabled.load(std::memory_order_relaxed) >= level) return false;
  return level >= getEffectiveLevel();
}

void Logger::addHandler(HandlerPtr handler) {
  std::lock_guard lock(handlers_lock_);
  if (std::find(handlers_->begin(), handlers_->end(), handler) != handlers_->end()) return;
  auto next = std::make_shared<std::vector<HandlerPtr>>(*handlers_);
  next->push_back(std::move(handler));
  handlers_ = std::move(next);
}

void Logger::removeHandler(const HandlerPtr& handler) {
  std::lock_guard lock(handlers_lock_);
  auto next = std::make_shared<std::vector<HandlerPtr>>(*handlers_);
  next->erase(std::remove(next->begin(), next->end(), handler), next->end());
  handlers_ = std::move(next);
}

void Logger::clearHandlers() {
  std::lock_guard lock(handlers_lock_);
  handlers_ = std::make_shared<const std::vector<HandlerPtr>>();
}

std::vector<HandlerPtr> Logger::handlers() const {
  std::lock_guard lock(handlers_lock_);
  return *handlers_;
}

void Logger::log(int level, const std::string& message) {
  if (!isEnabledFor(level)) return;
  LogRecord record{name_, level, getLevelName(level), message, core::now()};
  handle(record);
}

void Logger::call(const std::string& operation, const std::string& message) {
  auto level = operationLevel(operation);
  if (!level) throw AttributeError("loggers have no logging operation named '" + operation + "'");
  log(*level, message);
}

void Logger::handle(const LogRecord& record) {
  bool found = false;
  for (Logger* l = this; l != nullptr; l = l->parent_) {
    std::shared_ptr<const std::vector<HandlerPtr>> snapshot;
    {
      std::lock_guard lock(l->handlers_lock_);
      snapshot = l->handlers_;
    }
    for (const auto& handler : *snapshot) {
      found = true;
      handler->handle(record);
    }
    if (!l->propagate()) break;
  }
  if (!found && record.levelno >= WARNING) {
    // Last resort: a warning or error logged before any set-up is not lost.
    static StreamHandler last_resort(stderr, WARNING);
    last_resort.handle(record);
  }
}

Logger* getLogger(const std::string& name) { return LoggerTree::instance().get(name); }

Logger& packageLogger() { return *getLogger("quorvane_testlibs"); }

void logToStandardError(int level) {
  static const HandlerPtr console = [] {
    auto handler = std::make_shared<StreamHandler>(stderr, NOTSET);
    packageLogger().addHandler(handler);
    return handler;
  }();
  console->setLevel(level);
  if (packageLogger().level() == NOTSET || packageLogger().level() > level) packageLogger().setLevel(level);
}

void logging_call(const std::string& operation, const std::string& message) {
  auto level = operationLevel(operation);
  if (!level) throw AttributeError("the logging facility has no operation named '" + operation + "'");
  getLogger()->log(*level, message);
}

void resetLoggingForTesting() {
  {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    r.reset();
  }
  disable(NOTSET);
  LoggerTree::instance().reset();
}

}  // namespace qvn
