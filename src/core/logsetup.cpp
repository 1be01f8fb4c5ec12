#include "core/logsetup.hpp"

#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>

#include "core/clock.hpp"
#include "core/error_status_handler.hpp"
#include "core/logging.hpp"

namespace qvn {

HandlerConfig& LoggingConfig::handler(const std::string& name) {
  for (auto& h : handlers)
    if (h.name == name) return h;
  throw std::out_of_range("no handler named " + name + " in the logging configuration");
}

LoggerConfig& LoggingConfig::logger(const std::string& name) {
  if (name.empty() || name == "root") return root;
  for (auto& l : loggers)
    if (l.name == name) return l;
  throw std::out_of_range("no logger named " + name + " in the logging configuration");
}

LoggingConfig defaultLoggingConfig() {
  LoggingConfig config;
  config.version = 1;
  config.formatters = {{"simple", "%(message)s"}, {"simpleTime", "%(asctime)s %(message)s"}};
  config.handlers = {
      {"consoleHandler", HandlerKind::Stream, "simple", INFO, "", "a"},
      {"logConsoleHandler", HandlerKind::File, "simpleTime", INFO, "quorvane_testlibs.log", "a"},
      {"errorStatusHandler", HandlerKind::ErrorStatus, "", ERROR, "", "a"},
  };
  config.loggers = {{"quorvane_testlibs", DEBUG, {"consoleHandler", "logConsoleHandler", "errorStatusHandler"}, false}};
  config.root = {"", CRITICAL, {"consoleHandler"}, true};
  return config;
}

LoggingConfig& logging_config() {
  static LoggingConfig config = defaultLoggingConfig();
  return config;
}

namespace {

HandlerPtr makeHandler(const HandlerConfig& h) {
  switch (h.kind) {
    case HandlerKind::Stream:
      return std::make_shared<StreamHandler>(stderr, h.level);
    case HandlerKind::File:
      return std::make_shared<FileHandler>(h.filename, h.mode, h.level);
    case HandlerKind::ErrorStatus:
      return std::make_shared<ErrorStatusHandler>(h.level);
  }
  throw std::invalid_argument("unknown handler kind for " + h.name);
}

}  // namespace

void applyLoggingConfig(const LoggingConfig& config) {
  if (config.version != 1) {
    throw std::invalid_argument("unsupported logging configuration version " + std::to_string(config.version));
  }
  std::map<std::string, std::shared_ptr<const Formatter>> formatters;
  for (const auto& f : config.formatters) formatters[f.name] = std::make_shared<Formatter>(f.format);

  std::map<std::string, HandlerPtr> handlers;
  for (const auto& h : config.handlers) {
    HandlerPtr handler = makeHandler(h);
    if (!h.formatter.empty()) {
      auto it = formatters.find(h.formatter);
      if (it == formatters.end()) {
        throw std::invalid_argument("handler " + h.name + " names unknown formatter " + h.formatter);
      }
      handler->setFormatter(it->second);
    }
    handlers[h.name] = std::move(handler);
  }

  std::vector<const LoggerConfig*> loggers;
  for (const auto& l : config.loggers) loggers.push_back(&l);
  loggers.push_back(&config.root);
  for (const auto* l : loggers) {
    for (const auto& name : l->handlers) {
      if (handlers.count(name) == 0) {
        throw std::invalid_argument("logger " + (l->name.empty() ? std::string("root") : l->name) +
                                    " names unknown handler " + name);
      }
    }
  }

  for (const auto* l : loggers) {
    Logger* logger = getLogger(l->name);
    logger->clearHandlers();
    logger->setLevel(l->level);
    logger->setPropagate(l->propagate);
    for (const auto& name : l->handlers) logger->addHandler(handlers.at(name));
  }
}

// Once the log is set up, the line also goes to its files: the archived log
// of a failed run says why it ended. The console has the line already, and
// the run's status is decided elsewhere, so neither the console nor the
// error-status handler sees the record.
void recordInLogFiles(const std::string& line, int level) {
  Logger* package = &packageLogger();
  const LogRecord record{package->name(), level, getLevelName(level), line, core::now()};
  for (const HandlerPtr& handler : package->handlers()) {
    if (dynamic_cast<FileHandler*>(handler.get()) != nullptr) handler->handle(record);
  }
}

}  // namespace qvn
