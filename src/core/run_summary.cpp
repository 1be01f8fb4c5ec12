#include "core/run_summary.hpp"

#include <algorithm>
#include <cstdio>

#include "core/interruption_notice.hpp"
#include "core/program_main.hpp"
#include "core/run_outcome.hpp"

namespace qvn::core {

void RunTally::add(Change change, const std::string& kind, int count) {
  std::lock_guard<std::mutex> hold(lock_);
  auto& kinds = counts_[change];
  const auto found = std::find_if(kinds.begin(), kinds.end(), [&](const auto& entry) { return entry.first == kind; });
  if (found == kinds.end()) {
    kinds.emplace_back(kind, count);
  } else {
    found->second += count;
  }
}

int RunTally::count(Change change, const std::string& kind) const {
  for (const auto& [name, n] : counts(change))
    if (name == kind) return n;
  return 0;
}

bool RunTally::empty() const {
  std::lock_guard<std::mutex> guard(lock_);
  for (const auto& [change, kinds] : counts_)
    for (const auto& [kind, n] : kinds)
      if (n != 0) return false;
  return true;
}

std::vector<std::pair<std::string, int>> RunTally::counts(Change change) const {
  std::lock_guard<std::mutex> hold(lock_);
  const auto found = counts_.find(change);
  if (found == counts_.end()) return {};
  return found->second;
}

void RunTally::notePath(const std::string& label, const std::string& path) {
  if (path.empty()) return;
  std::lock_guard<std::mutex> hold(lock_);
  for (auto& [name, value] : paths_) {
    if (name == label) {
      value = path;
      return;
    }
  }
  paths_.emplace_back(label, path);
}

std::vector<std::pair<std::string, std::string>> RunTally::paths() const {
  std::lock_guard<std::mutex> hold(lock_);
  return paths_;
}

std::string durationText(Seconds duration) {
  const long total = std::max(0L, static_cast<long>(duration.count()));
  const long hours = total / 3600;
  const long minutes = (total % 3600) / 60;
  const long seconds = total % 60;
  std::string text;
  if (hours > 0) text += std::to_string(hours) + " h ";
  if (hours > 0 || minutes > 0) text += std::to_string(minutes) + " min ";
  return text + std::to_string(seconds) + " s";
}

std::string countText(int count, const std::string& kind) {
  std::string plural = kind;
  if (count != 1) {
    if (!kind.empty() && kind.back() == 'y') {
      plural = kind.substr(0, kind.size() - 1) + "ies";
    } else {
      plural += "s";
    }
  }
  return std::to_string(count) + " " + plural;
}

namespace {

struct ChangeName {
  Change change;
  const char* done;   // "created"
  const char* would;  // "would create"
  const char* key;    // JSON member
};

constexpr ChangeName kChanges[] = {
    {Change::Created, "created", "would create", "created"}, {Change::Adopted, "adopted", "would adopt", "adopted"},
    {Change::Removed, "removed", "would remove", "removed"}, {Change::Left, "left", "would leave", "left"},
    {Change::Written, "wrote", "would write", "written"},
};

std::vector<std::pair<std::string, int>> countsOf(const RunSummary& summary, Change change) {
  if (summary.tally == nullptr) return {};
  return summary.tally->counts(change);
}

// What was really created: in a real run both kinds of creation, merged by
// kind in the order first counted; in a dry run only what it made anyway.
std::vector<std::pair<std::string, int>> createdOf(const RunSummary& summary) {
  std::vector<std::pair<std::string, int>> created = countsOf(summary, Change::Made);
  if (summary.dry_run) return created;
  for (const auto& [kind, n] : countsOf(summary, Change::Created)) {
    const auto same =
        std::find_if(created.begin(), created.end(), [&](const auto& entry) { return entry.first == kind; });
    if (same == created.end()) {
      created.emplace_back(kind, n);
    } else {
      same->second += n;
    }
  }
  return created;
}

std::string listedCounts(const std::vector<std::pair<std::string, int>>& counts) {
  std::string listed;
  for (const auto& [kind, n] : counts) {
    if (n == 0) continue;
    listed += (listed.empty() ? "" : ", ") + countText(n, kind);
  }
  return listed;
}

std::string jsonCounts(const std::vector<std::pair<std::string, int>>& counts);

std::vector<std::pair<std::string, std::string>> pathsOf(const RunSummary& summary) {
  if (summary.tally == nullptr) return {};
  return summary.tally->paths();
}

std::string jsonString(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string jsonKey(const std::string& label) {
  std::string key = label;
  std::replace(key.begin(), key.end(), ' ', '_');
  return jsonString(key);
}

std::string jsonCounts(const std::vector<std::pair<std::string, int>>& counts) {
  std::string members;
  for (const auto& [kind, n] : counts)
    members += (members.empty() ? "" : ", ") + jsonKey(kind) + ": " + std::to_string(n);
  return members;
}

}  // namespace

std::vector<std::string> summaryLines(const RunSummary& summary) {
  const std::string prefix = summary.program + ": ";
  std::vector<std::string> lines;
  if (summary.dry_run) {
    const std::string made = listedCounts(createdOf(summary));
    if (!made.empty()) lines.push_back(prefix + "created " + made + " (a dry run makes these too)");
  }
  for (const ChangeName& name : kChanges) {
    const std::string listed = listedCounts(
        name.change == Change::Created && !summary.dry_run ? createdOf(summary) : countsOf(summary, name.change));
    if (!listed.empty()) lines.push_back(prefix + (summary.dry_run ? name.would : name.done) + " " + listed);
  }
  if (lines.empty()) lines.push_back(prefix + (summary.dry_run ? "would change nothing" : "changed nothing"));
  lines.push_back(prefix + (summary.dry_run ? "dry run " : "") + "ended with status " +
                  std::to_string(summary.exit_status) + " after " + durationText(summary.wall_time));
  for (const auto& [label, path] : pathsOf(summary)) lines.push_back(prefix + label + ": " + path);
  if (!summary.next_step.empty() && !summary.next_command.empty())
    lines.push_back(prefix + summary.next_step + ": " + shellCommand(summary.next_command));
  return lines;
}

std::string summaryJson(const RunSummary& summary) {
  std::string json = "{\n  \"program\": " + jsonString(summary.program) +
                     ",\n  \"dry_run\": " + (summary.dry_run ? "true" : "false") +
                     ",\n  \"exit_status\": " + std::to_string(summary.exit_status) +
                     ",\n  \"wall_time_seconds\": " + std::to_string(static_cast<long>(summary.wall_time.count()));
  for (const ChangeName& name : kChanges) {
    if (name.change == Change::Created) {
      json += ",\n  \"created\": {" + jsonCounts(createdOf(summary)) + "}";
      if (summary.dry_run) json += ",\n  \"would_create\": {" + jsonCounts(countsOf(summary, Change::Created)) + "}";
      continue;
    }
    json += ",\n  " + jsonString(name.key) + ": {" + jsonCounts(countsOf(summary, name.change)) + "}";
  }
  std::string paths;
  for (const auto& [label, path] : pathsOf(summary))
    paths += (paths.empty() ? "" : ", ") + jsonKey(label) + ": " + jsonString(path);
  json += ",\n  \"paths\": {" + paths + "}";
  json += ",\n  \"next_command\": " +
          (summary.next_command.empty() ? std::string("null") : jsonString(shellCommand(summary.next_command)));
  return json + "\n}\n";
}

std::string logFilePath() {
  for (const HandlerPtr& handler : packageLogger().handlers())
    if (const auto* file = dynamic_cast<const FileHandler*>(handler.get())) return file->filename();
  return "";
}

void logSummary(const RunSummary& summary, Logger& log) {
  for (const std::string& line : summaryLines(summary)) log.info(line);
}

void reportSummaryNotWritten(const RunSummary& summary, const std::string& path, const std::string& why) {
  const std::string line = summary.program + ": error: cannot write the summary to " + path + ": " + why;
  std::fprintf(stderr, "%s\n", line.c_str());
  std::fflush(stderr);
  recordInLogFiles(line, ERROR);
}

int runWithSummary(const std::function<int()>& run, const std::function<void(int status)>& summarize) {
  int status = 0;
  try {
    status = run();
  } catch (const ProgramExit& exit) {
    summarize(exit.status);
    throw;
  } catch (...) {
    summarize(1);
    throw;
  }
  summarize(status);
  return status;
}

}  // namespace qvn::core
