#include "core/program_main.hpp"

#include <cstdio>
#include <exception>

#include "core/clock.hpp"
#include "core/logging.hpp"
#include "core/run_outcome.hpp"

namespace qvn {

namespace {

constexpr const char* kPackageLogger = "quorvane_testlibs";

void reportFailure(const std::string& program, const std::string& what) {
  const std::string line = program + ": error: " + what;
  const std::string text = line + "\n";
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
  recordInLogFiles(line, ERROR);
}

}  // namespace

// Once the log is set up, the line also goes to its files: the archived log
// of a failed run says why it ended. The console has the line already, and
// the run's status is decided elsewhere, so neither the console nor the
// error-status handler sees the record.
void recordInLogFiles(const std::string& line, int level) {
  Logger* package = getLogger(kPackageLogger);
  const LogRecord record{package->name(), level, getLevelName(level), line, core::now()};
  for (const HandlerPtr& handler : package->handlers()) {
    if (dynamic_cast<FileHandler*>(handler.get()) != nullptr) handler->handle(record);
  }
}

int exitStatusOf(const std::string& program, const std::function<int()>& flow) {
  try {
    return flow();
  } catch (const ProgramExit& exit) {
    return exit.status;
  } catch (const std::exception& e) {
    reportFailure(program, e.what());
  } catch (...) {
    reportFailure(program, "unexpected failure");
  }
  return 1;
}

}  // namespace qvn
