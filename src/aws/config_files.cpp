#include "aws/config_files.hpp"

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "aws/errors.hpp"
#include "aws/text_codec.hpp"

namespace qvn::aws {
namespace {

// The name a section header stands for: "profile", "sso-session" and
// "services" headers take one name after any number of blanks, which may be
// quoted ([profile "p 1"]); other headers are taken as they stand. Empty when
// the header is malformed.
std::string section_name(const std::string& header) {
  for (const char* kind : {"profile", "sso-session", "services"}) {
    std::string prefix = kind;
    if (!header.starts_with(prefix) || header.size() == prefix.size() ||
        (header[prefix.size()] != ' ' && header[prefix.size()] != '\t'))
      continue;
    std::string name = text::trim(header.substr(prefix.size()));
    if (name.size() >= 2 && (name.front() == '"' || name.front() == '\'')) {
      if (name.back() != name.front()) return "";
      name = name.substr(1, name.size() - 2);
      if (name.empty()) return "";
    }
    return prefix + " " + name;
  }
  return header;
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

std::map<std::string, ConfigSection> parse_ini(const std::string& text, const std::string& file_name) {
  std::map<std::string, ConfigSection> sections;
  ConfigSection* current = nullptr;
  std::string last_key;  // the key line that deeper-indented lines continue
  std::size_t last_key_indent = 0;
  bool last_key_opens_sub_section = false;
  std::size_t line_number = 0;
  auto refuse = [&](const std::string& what) {
    throw ConfigError("cannot read " + file_name + ": line " + std::to_string(line_number) + ": " + what);
  };
  if (text.starts_with("\xEF\xBB\xBF")) {
    line_number = 1;
    refuse("the file starts with a UTF-8 byte order mark; save it without one");
  }
  std::istringstream in(text);
  std::string raw;
  while (std::getline(in, raw)) {
    ++line_number;
    std::string line = text::trim(raw);
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    std::size_t indent = raw.find_first_not_of(" \t");
    if (line.front() == '[') {
      auto close = line.find(']');
      if (close == std::string::npos) refuse("section header without its closing ]");
      std::string rest = text::trim(line.substr(close + 1));
      if (!rest.empty() && rest[0] != '#' && rest[0] != ';') refuse("text after the section header");
      std::string header = text::trim(line.substr(1, close - 1));
      if (header.empty()) refuse("empty section header");
      std::string name = section_name(header);
      if (name.empty()) refuse("malformed section header [" + header + "]");
      if (sections.count(name)) refuse("duplicate section [" + header + "]");
      current = &sections[name];
      last_key.clear();
      continue;
    }
    if (current == nullptr) refuse("a setting before the first section header");
    bool continues = !last_key.empty() && indent > last_key_indent;
    auto delimiter = line.find_first_of(last_key_opens_sub_section && continues ? "=" : "=:");
    if (continues && !last_key_opens_sub_section) {
      // A deeper-indented line carries on the value above it.
      current->values[last_key] += "\n" + line;
      continue;
    }
    if (delimiter == std::string::npos) refuse("a line without = inside a section");
    std::string key = text::lower(text::trim(line.substr(0, delimiter)));
    std::string value = text::trim(line.substr(delimiter + 1));
    if (key.empty()) refuse("a setting without a name");
    if (continues) {
      auto& sub_section = current->sub_sections[last_key];
      if (sub_section.count(key)) refuse("duplicate setting " + key + " under " + last_key);
      sub_section[key] = value;
      continue;
    }
    if (current->values.count(key)) refuse("duplicate setting " + key);
    current->values[key] = value;
    last_key = key;
    last_key_indent = indent;
    last_key_opens_sub_section = value.empty();
  }
  return sections;
}

SharedConfig SharedConfig::from_text(const std::string& config_text, const std::string& credentials_text,
                                     const std::string& config_name, const std::string& credentials_name) {
  SharedConfig config;
  config.config_ = parse_ini(config_text, config_name);
  config.credentials_ = parse_ini(credentials_text, credentials_name);
  return config;
}

SharedConfig SharedConfig::load() {
  std::string config_path = expand_path(env("AWS_CONFIG_FILE").value_or("~/.aws/config"));
  std::string credentials_path = expand_path(env("AWS_SHARED_CREDENTIALS_FILE").value_or("~/.aws/credentials"));
  return from_text(read_file(config_path), read_file(credentials_path), config_path, credentials_path);
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
