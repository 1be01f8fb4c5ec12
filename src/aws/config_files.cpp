#include "aws/config_files.hpp"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "aws/errors.hpp"

namespace qvn::aws {
namespace {

std::string trim(const std::string& text) {
  auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  auto last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

std::string read_file(const std::string& path) {
  std::error_code error;
  if (!std::filesystem::exists(path, error)) return "";
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ConfigError("cannot read the AWS file " + path);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::string home_folder() {
  if (auto home = env("HOME")) return *home;
  return "";
}

}  // namespace

std::optional<std::string> env(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return std::nullopt;
  return std::string(value);
}

std::string active_profile_name() {
  if (auto name = env("AWS_PROFILE")) return *name;
  if (auto name = env("AWS_DEFAULT_PROFILE")) return *name;
  return "default";
}

std::optional<std::string> ConfigSection::get(const std::string& key) const {
  auto found = values.find(key);
  if (found == values.end() || found->second.empty()) return std::nullopt;
  return found->second;
}

std::map<std::string, ConfigSection> parse_ini(const std::string& text) {
  std::map<std::string, ConfigSection> sections;
  ConfigSection* current = nullptr;
  std::string open_sub_section;  // key whose indented lines follow
  std::istringstream in(text);
  std::string raw;
  while (std::getline(in, raw)) {
    std::string line = trim(raw);
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    bool indented = raw[0] == ' ' || raw[0] == '\t';
    if (line.front() == '[' && line.back() == ']') {
      std::string name = trim(line.substr(1, line.size() - 2));
      current = &sections[name];
      open_sub_section.clear();
      continue;
    }
    if (current == nullptr) continue;
    auto eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string key = trim(line.substr(0, eq));
    std::string value = trim(line.substr(eq + 1));
    if (indented && !open_sub_section.empty()) {
      current->sub_sections[open_sub_section][key] = value;
      continue;
    }
    open_sub_section = value.empty() ? key : "";
    current->values[key] = value;
  }
  return sections;
}

SharedConfig SharedConfig::from_text(const std::string& config_text, const std::string& credentials_text) {
  SharedConfig config;
  config.config_ = parse_ini(config_text);
  config.credentials_ = parse_ini(credentials_text);
  return config;
}

SharedConfig SharedConfig::load() {
  std::string config_path = expand_path(env("AWS_CONFIG_FILE").value_or("~/.aws/config"));
  std::string credentials_path =
      expand_path(env("AWS_SHARED_CREDENTIALS_FILE").value_or("~/.aws/credentials"));
  return from_text(read_file(config_path), read_file(credentials_path));
}

bool SharedConfig::has_profile(const std::string& name) const {
  if (credentials_.count(name)) return true;
  if (config_.count("profile " + name)) return true;
  return name == "default" && config_.count("default");
}

ConfigSection SharedConfig::profile(const std::string& name) const {
  ConfigSection merged;
  auto overlay = [&](const ConfigSection& section) {
    for (const auto& [key, value] : section.values) merged.values[key] = value;
    for (const auto& [key, values] : section.sub_sections) merged.sub_sections[key] = values;
  };
  if (name == "default") {
    if (auto found = config_.find("default"); found != config_.end()) overlay(found->second);
  }
  if (auto found = config_.find("profile " + name); found != config_.end()) overlay(found->second);
  if (auto found = credentials_.find(name); found != credentials_.end()) overlay(found->second);
  return merged;
}

std::optional<ConfigSection> SharedConfig::sso_session(const std::string& name) const {
  auto found = config_.find("sso-session " + name);
  if (found == config_.end()) return std::nullopt;
  return found->second;
}

std::optional<ConfigSection> SharedConfig::services(const std::string& name) const {
  auto found = config_.find("services " + name);
  if (found == config_.end()) return std::nullopt;
  return found->second;
}

std::string expand_path(const std::string& path) {
  std::string out;
  std::size_t i = 0;
  if (path == "~" || path.starts_with("~/")) {
    out = home_folder();
    i = 1;
  }
  while (i < path.size()) {
    if (path[i] == '$' && i + 1 < path.size()) {
      std::size_t start = i + 1;
      std::size_t end;
      std::string name;
      if (path[start] == '{') {
        end = path.find('}', start);
        if (end == std::string::npos) break;
        name = path.substr(start + 1, end - start - 1);
        ++end;
      } else {
        end = start;
        while (end < path.size() && (std::isalnum(static_cast<unsigned char>(path[end])) || path[end] == '_')) ++end;
        name = path.substr(start, end - start);
      }
      if (!name.empty()) {
        out += env(name.c_str()).value_or("");
        i = end;
        continue;
      }
    }
    out.push_back(path[i++]);
  }
  if (i < path.size()) out += path.substr(i);
  return out;
}

}  // namespace qvn::aws
