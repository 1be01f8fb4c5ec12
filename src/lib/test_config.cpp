#include "lib/test_config.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "lib/file_writer.hpp"

namespace qvn {
namespace {

std::string quoted_member(std::string_view member) { return "member \"" + std::string(member) + "\""; }

// A member value as JSON text, for messages (any bad byte is replaced).
std::string quoted_value(const std::string& value) {
  return nlohmann::json(value).dump(-1, ' ', true, nlohmann::json::error_handler_t::replace);
}

std::string system_error_text(int error) { return std::strerror(error); }

// nlohmann's messages start with "[json.exception.<kind>.<id>] ".
std::string json_error_text(const nlohmann::json::exception& error) {
  std::string text = error.what();
  if (!text.empty() && text.front() == '[') {
    std::size_t end = text.find("] ");
    if (end != std::string::npos) text.erase(0, end + 2);
  }
  return text;
}

// What a test configuration may be: one entry is a few hundred bytes and two
// levels deep, so these leave room for any real one and refuse the rest with
// a clear message (a JSON library recurses once per level when it writes).
constexpr std::size_t kMiB = std::size_t{1024} * 1024;
constexpr std::size_t kMaxBytes = 64 * kMiB;
constexpr int kMaxDepth = 64;

// The deepest nesting of arrays and objects in `text`, counted outside
// strings; stops counting past kMaxDepth.
int nesting_depth(std::string_view text) {
  int depth = 0;
  int deepest = 0;
  bool in_string = false;
  bool escaped = false;
  for (char c : text) {
    if (in_string) {
      if (escaped)
        escaped = false;
      else if (c == '\\')
        escaped = true;
      else if (c == '"')
        in_string = false;
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      deepest = std::max(deepest, ++depth);
      if (deepest > kMaxDepth) break;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return deepest;
}

std::string read_whole_file(const std::string& path) {
  if (path.empty()) throw TestConfigError("cannot read a test configuration: the path is empty");
  const FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) throw TestConfigError(path + ": cannot read: " + system_error_text(errno));
  std::string text;
  char buffer[65536];
  for (;;) {
    ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      throw TestConfigError(path + ": cannot read: " + system_error_text(errno));
    }
    text.append(buffer, static_cast<std::size_t>(got));
    if (text.size() > kMaxBytes) {
      throw TestConfigError(path + ": larger than " + std::to_string(kMaxBytes / kMiB) +
                            " MiB, not a test configuration");
    }
  }
  return text;
}

}  // namespace

std::string dump_config_json(const nlohmann::ordered_json& document) { return document.dump(2, ' ', true) + "\n"; }

// ---------------------------------------------------------------- ConfigEntry

ConfigEntry::ConfigEntry(Json& entry, std::string source, std::size_t position)
    : entry_(&entry), source_(std::move(source)), position_(position) {}

void ConfigEntry::fail(std::string_view what) const {
  throw TestConfigError(source_ + ": entry " + std::to_string(number()) + ": " + std::string(what));
}

bool ConfigEntry::has(std::string_view member) const { return entry_->is_object() && entry_->contains(member); }

const std::string& ConfigEntry::string(std::string_view member) const {
  auto it = entry_->find(member);
  if (it == entry_->end()) fail(quoted_member(member) + " is missing");
  if (!it->is_string()) {
    fail(quoted_member(member) + " is not a string (found " + it->type_name() + ")");
  }
  return it->get_ref<const std::string&>();
}

std::optional<std::string> ConfigEntry::optional_string(std::string_view member) const {
  if (!has(member)) return std::nullopt;
  return string(member);
}

Ipv4Address ConfigEntry::address(std::string_view member) const {
  const std::string& text = string(member);
  if (!Ipv4Address::is_valid(text)) {
    fail(quoted_member(member) + " is not an IPv4 address: " + quoted_value(text));
  }
  return Ipv4Address::parse(text);
}

Ipv4Network ConfigEntry::network(std::string_view member) const {
  const std::string& text = string(member);
  try {
    return Ipv4Network::parse(text);
  } catch (const Ipv4Error&) {
    fail(quoted_member(member) + " is not an IPv4 network: " + quoted_value(text));
  }
}

void ConfigEntry::set(std::string_view member, std::string value) { (*entry_)[std::string(member)] = std::move(value); }

// ----------------------------------------------------------------- TestConfig

TestConfig::TestConfig(Json document, std::string source) : document_(std::move(document)), source_(std::move(source)) {
  if (!document_.is_array()) {
    throw TestConfigError(source_ + ": top level is not a JSON array (found " + document_.type_name() + ")");
  }
}

TestConfig TestConfig::parse(std::string_view text, std::string source) {
  if (text.size() > kMaxBytes)
    throw TestConfigError(source + ": larger than " + std::to_string(kMaxBytes / kMiB) +
                          " MiB, not a test configuration");
  if (nesting_depth(text) > kMaxDepth)
    throw TestConfigError(source + ": nested deeper than " + std::to_string(kMaxDepth) +
                          " levels, not a test configuration");
  Json document;
  try {
    document = Json::parse(text);
  } catch (const nlohmann::json::exception& error) {
    // parse_error, and out_of_range for a number beyond a double.
    throw TestConfigError(source + ": not valid JSON: " + json_error_text(error));
  }
  return TestConfig(std::move(document), std::move(source));
}

TestConfig TestConfig::read(const std::string& path) { return parse(read_whole_file(path), path); }

std::string TestConfig::dump() const {
  try {
    return dump_config_json(document_);
  } catch (const nlohmann::json::type_error& error) {
    throw TestConfigError(source_ + ": cannot serialise: " + json_error_text(error));
  }
}

std::string TestConfig::text() const {
  std::string out = dump();
  out.pop_back();
  return out;
}

void TestConfig::write(const std::string& path) const {
  if (path.empty()) throw TestConfigError("cannot write a test configuration: the path is empty");
  const std::string text = dump();
  try {
    writeFile(path, text, WriteRules::document());
  } catch (const FileWriteError& error) {
    throw TestConfigError(error.what());
  }
}

void TestConfig::prepare_write(const std::string& path) {
  if (path.empty()) throw TestConfigError("cannot write a test configuration: the path is empty");
  try {
    const std::string target = writeTarget(path, WriteRules::document());
    const std::filesystem::path folder = std::filesystem::path(target).parent_path();
    std::error_code error;
    if (!folder.empty()) std::filesystem::create_directories(folder, error);
    if (error) throw TestConfigError(path + ": cannot write: " + error.message());
    checkWritable(path, WriteRules::document());
  } catch (const FileWriteError& error) {
    throw TestConfigError(error.what());
  }
}

ConfigEntry TestConfig::entry(std::size_t position) {
  if (position >= document_.size()) {
    throw TestConfigError(source_ + ": entry " + std::to_string(position + 1) + " does not exist (" +
                          std::to_string(document_.size()) + " entries)");
  }
  ConfigEntry result(document_[position], source_, position);
  if (!result.json().is_object()) {
    result.fail(std::string("is not a JSON object (found ") + result.json().type_name() + ")");
  }
  return result;
}

std::vector<ConfigEntry> TestConfig::entries() {
  std::vector<ConfigEntry> result;
  result.reserve(document_.size());
  for (std::size_t i = 0; i < document_.size(); ++i) result.push_back(entry(i));
  return result;
}

void TestConfig::append(Json entry) {
  if (!entry.is_object()) {
    throw TestConfigError(source_ + ": a new entry must be a JSON object (found " + entry.type_name() + ")");
  }
  document_.push_back(std::move(entry));
}

void TestConfig::require_strings(const std::vector<std::string>& members) {
  for (auto& entry : entries()) {
    for (const auto& member : members) entry.string(member);
  }
}

}  // namespace qvn
