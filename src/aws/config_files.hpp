#pragma once
// The shared credentials and config files (~/.aws/credentials, ~/.aws/config,
// or AWS_SHARED_CREDENTIALS_FILE / AWS_CONFIG_FILE).
//
// Config sections are "[profile name]" (or "[default]"), "[sso-session name]"
// and "[services name]"; credentials sections are "[name]". A profile's keys
// from the credentials file win over those from the config file. A key with
// an empty value followed by indented "key = value" lines is a sub-section
// ("s3 =\n  addressing_style = path").
#include <map>
#include <optional>
#include <string>

namespace qvn::aws {

struct ConfigSection {
  std::map<std::string, std::string> values;
  std::map<std::string, std::map<std::string, std::string>> sub_sections;

  // Value of `key`, absent when missing or empty.
  std::optional<std::string> get(const std::string& key) const;
};

// Sections of one INI file by their header text ("profile dev", "default").
// Key names are lower-cased; "key: value" reads as "key = value"; a
// deeper-indented line continues the key above it (a sub-section when that
// key's value is empty). Throws ConfigError naming `file_name` and the line
// for what cannot be read without guessing: a setting before the first
// section, a header without its closing "]", a line without "=", a duplicate
// section or setting, a leading byte order mark.
std::map<std::string, ConfigSection> parse_ini(const std::string& text,
                                               const std::string& file_name = "the AWS config file");

class SharedConfig {
 public:
  // Reads both files from the environment's locations; missing files are
  // empty. Throws ConfigError when a file exists but cannot be read or parsed.
  static SharedConfig load();
  static SharedConfig from_text(const std::string& config_text, const std::string& credentials_text,
                                const std::string& config_name = "the AWS config file",
                                const std::string& credentials_name = "the AWS credentials file");

  bool has_profile(const std::string& name) const;
  // The merged profile; an empty section when it does not exist.
  ConfigSection profile(const std::string& name) const;
  std::optional<ConfigSection> sso_session(const std::string& name) const;
  std::optional<ConfigSection> services(const std::string& name) const;

 private:
  std::map<std::string, ConfigSection> config_;
  std::map<std::string, ConfigSection> credentials_;
};

// "~/" and "$VAR"/"${VAR}" expansion, as for paths in the files.
std::string expand_path(const std::string& path);

// The environment variable's value; absent when unset or empty.
std::optional<std::string> env(const char* name);

// The active profile name: AWS_PROFILE, then AWS_DEFAULT_PROFILE, else "default".
std::string active_profile_name();

}  // namespace qvn::aws
