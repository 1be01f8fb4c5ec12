#include "core/run_summary.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "core/interruption_notice.hpp"
#include "core/logsetup.hpp"
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

namespace {

// Sets `key` to `value`, in place when it is there already.
void keepLast(std::vector<std::pair<std::string, std::string>>& items, const std::string& key,
              const std::string& value) {
  for (auto& [name, current] : items) {
    if (name == key) {
      current = value;
      return;
    }
  }
  items.emplace_back(key, value);
}

}  // namespace

void RunTally::notePath(const std::string& label, const std::string& path) {
  if (path.empty()) return;
  std::lock_guard<std::mutex> hold(lock_);
  keepLast(paths_, label, path);
}

std::vector<std::pair<std::string, std::string>> RunTally::paths() const {
  std::lock_guard<std::mutex> hold(lock_);
  return paths_;
}

void RunTally::addResource(Change change, const std::string& kind, const std::string& id, const std::string& subnet) {
  add(change, kind);
  std::lock_guard<std::mutex> hold(lock_);
  resources_[change].push_back({kind, id, subnet});
}

std::vector<RunResource> RunTally::resources(Change change) const {
  std::lock_guard<std::mutex> hold(lock_);
  const auto found = resources_.find(change);
  if (found == resources_.end()) return {};
  return found->second;
}

void RunTally::noteFailure(const RunFailure& failure) {
  std::lock_guard<std::mutex> hold(lock_);
  failures_.push_back(failure);
}

std::vector<RunFailure> RunTally::failures() const {
  std::lock_guard<std::mutex> hold(lock_);
  return failures_;
}

bool RunTally::failedIn(const std::string& subnet) const {
  std::lock_guard<std::mutex> hold(lock_);
  return std::any_of(failures_.begin(), failures_.end(), [&](const RunFailure& f) { return f.subnet == subnet; });
}

void RunTally::noteEntry(const std::string& subnet, const std::string& outcome) {
  std::lock_guard<std::mutex> hold(lock_);
  keepLast(entries_, subnet, outcome);
}

std::vector<std::pair<std::string, std::string>> RunTally::entries() const {
  std::lock_guard<std::mutex> hold(lock_);
  return entries_;
}

void RunTally::noteS3Object(const std::string& uri) {
  std::lock_guard<std::mutex> hold(lock_);
  s3_objects_.push_back(uri);
}

std::vector<std::string> RunTally::s3Objects() const {
  std::lock_guard<std::mutex> hold(lock_);
  return s3_objects_;
}

namespace {

thread_local bool noted_by_step = false;

// "  **Error** text" as "text".
std::string withoutMarker(const std::string& message) {
  std::string text = message.substr(std::min(message.find_first_not_of(' '), message.size()));
  const std::string marker = "**Error** ";
  return text.starts_with(marker) ? text.substr(marker.size()) : text;
}

class ErrorRecordNoter : public Handler {
 public:
  ErrorRecordNoter(RunTally& tally, std::function<std::string()> subnet)
      : Handler(ERROR), tally_(tally), subnet_(std::move(subnet)) {}

 protected:
  void emit(const LogRecord& record) override {
    if (noted_by_step) return;
    tally_.noteFailure({subnet_ ? subnet_() : "", "", "", withoutMarker(record.message)});
  }

 private:
  RunTally& tally_;
  std::function<std::string()> subnet_;
};

}  // namespace

ErrorRecordsNoted::ErrorRecordsNoted(RunTally& tally, std::function<std::string()> subnet)
    : handler_(std::make_shared<ErrorRecordNoter>(tally, std::move(subnet))) {
  packageLogger().addHandler(handler_);
}

ErrorRecordsNoted::~ErrorRecordsNoted() { packageLogger().removeHandler(handler_); }

FailureNotedByStep::FailureNotedByStep() : previous_(noted_by_step) { noted_by_step = true; }

FailureNotedByStep::~FailureNotedByStep() { noted_by_step = previous_; }

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
  for (const auto& count : countsOf(summary, Change::Created)) {
    const auto same = std::find_if(created.begin(), created.end(),
                                   [&count](const auto& entry) { return entry.first == count.first; });
    if (same == created.end()) {
      created.push_back(count);
    } else {
      same->second += count.second;
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

std::vector<std::pair<std::string, std::string>> pathsOf(const RunSummary& summary) {
  if (summary.tally == nullptr) return {};
  return summary.tally->paths();
}

using Json = nlohmann::ordered_json;

std::string jsonKey(const std::string& label) {
  std::string key = label;
  std::replace(key.begin(), key.end(), ' ', '_');
  return key;
}

Json jsonCounts(const std::vector<std::pair<std::string, int>>& counts) {
  Json members = Json::object();
  for (const auto& [kind, n] : counts) members[jsonKey(kind)] = n;
  return members;
}

Json textOrNull(const std::string& text) { return text.empty() ? Json(nullptr) : Json(text); }

std::vector<RunResource> resourcesOf(const RunSummary& summary, Change change) {
  if (summary.tally == nullptr) return {};
  return summary.tally->resources(change);
}

// What createdOf counts, by id.
std::vector<RunResource> createdResourcesOf(const RunSummary& summary) {
  std::vector<RunResource> created = resourcesOf(summary, Change::Made);
  if (summary.dry_run) return created;
  for (const RunResource& resource : resourcesOf(summary, Change::Created)) created.push_back(resource);
  return created;
}

Json jsonResources(const std::vector<RunResource>& resources) {
  Json kinds = Json::object();
  for (const RunResource& resource : resources) {
    Json item = {{"id", resource.id}};
    if (!resource.subnet.empty()) item["subnet"] = resource.subnet;
    kinds[jsonKey(resource.kind)].push_back(item);
  }
  return kinds;
}

// One member per change into `json`: "created" holds what was really made
// (`made`), a dry run's "would_create" what it would create; `of` gives a
// change's own member.
template <typename Made, typename Of>
void addPerChange(Json& json, const RunSummary& summary, const Made& made, const Of& of) {
  for (const ChangeName& name : kChanges) {
    if (name.change == Change::Created) {
      json["created"] = made();
      if (summary.dry_run) json["would_create"] = of(Change::Created);
      continue;
    }
    json[name.key] = of(name.change);
  }
}

Json jsonResourcesOf(const RunSummary& summary) {
  Json resources = Json::object();
  addPerChange(
      resources, summary, [&] { return jsonResources(createdResourcesOf(summary)); },
      [&](Change change) { return jsonResources(resourcesOf(summary, change)); });
  return resources;
}

Json jsonErrors(const RunSummary& summary) {
  Json errors = Json::array();
  if (summary.tally == nullptr) return errors;
  for (const RunFailure& failure : summary.tally->failures())
    errors.push_back({{"subnet", textOrNull(failure.subnet)},
                      {"step", textOrNull(failure.step)},
                      {"code", textOrNull(failure.code)},
                      {"message", failure.message}});
  return errors;
}

Json jsonEntries(const RunSummary& summary) {
  Json entries = Json::array();
  if (summary.tally == nullptr) return entries;
  for (const auto& [subnet, outcome] : summary.tally->entries())
    entries.push_back({{"subnet", subnet}, {"outcome", outcome}});
  return entries;
}

// Seconds to the millisecond.
double secondsOf(Seconds duration) { return std::round(std::max(0.0, duration.count()) * 1000.0) / 1000.0; }

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
  Json json = {{"program", summary.program},
               {"dry_run", summary.dry_run},
               {"exit_status", summary.exit_status},
               {"wall_time_seconds", secondsOf(summary.wall_time)}};
  addPerChange(
      json, summary, [&] { return jsonCounts(createdOf(summary)); },
      [&](Change change) { return jsonCounts(countsOf(summary, change)); });
  Json paths = Json::object();
  for (const auto& [label, path] : pathsOf(summary)) paths[jsonKey(label)] = path;
  json["paths"] = paths;
  json["next_command"] = summary.next_command.empty() ? Json(nullptr) : Json(shellCommand(summary.next_command));
  json["errors"] = jsonErrors(summary);
  json["resources"] = jsonResourcesOf(summary);
  json["entries"] = jsonEntries(summary);
  json["s3_objects"] = summary.tally == nullptr ? Json::array() : Json(summary.tally->s3Objects());
  return json.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
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
