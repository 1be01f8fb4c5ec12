#include "scenario.hpp"

#include <sys/stat.h>

#include <cctype>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace qvn::sandbox {

namespace {

std::string account_of(const Json& scenario, const Json& profile) {
  return profile.value("account_id", scenario.value("account_id", std::string()));
}

void write_private(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::trunc);
  if (!out) throw std::runtime_error("cannot write " + path);
  out << text;
  out.close();
  if (!out) throw std::runtime_error("cannot write " + path);
  chmod(path.c_str(), 0600);
}

}  // namespace

Json load_scenario_file(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("scenario " + path + ": cannot be read");
  std::stringstream text;
  text << in.rdbuf();
  Json j = Json::parse(text.str(), nullptr, false);
  if (j.is_discarded() || !j.is_object()) throw std::runtime_error("scenario " + path + ": not a JSON object");
  return j;
}

void check_scenario(const Json& s) {
  if (!s.is_object()) throw std::runtime_error("scenario: not a JSON object");
  const std::string account = s.value("account_id", std::string());
  if (account.size() != 12 ||
      !std::all_of(account.begin(), account.end(), [](unsigned char c) { return std::isdigit(c); }))
    throw std::runtime_error("scenario: \"account_id\" must be 12 digits");
  if (s.value("region", std::string()).empty()) throw std::runtime_error("scenario: \"region\" is missing");
  if (!s.contains("profiles") || !s["profiles"].is_object())
    throw std::runtime_error("scenario: \"profiles\" must be an object");
  for (const auto& [name, p] : s["profiles"].items()) {
    const bool keys = p.contains("aws_access_key_id") && p.contains("aws_secret_access_key");
    const bool role = p.contains("role_arn") && p.contains("source_profile");
    if (!keys && !role)
      throw std::runtime_error("scenario: profile \"" + name +
                               "\" needs aws_access_key_id and aws_secret_access_key, or "
                               "role_arn and source_profile");
  }
}

void register_scenario_keys(const Json& scenario, KeyRegistry& keys) {
  const Json profiles = scenario.value("profiles", Json::object());
  for (const auto& [name, p] : profiles.items()) {
    if (!p.contains("aws_access_key_id")) continue;
    Identity id;
    id.access_key = p["aws_access_key_id"].get<std::string>();
    id.secret_key = p["aws_secret_access_key"].get<std::string>();
    id.account_id = account_of(scenario, p);
    id.arn = "arn:aws:iam::" + id.account_id + ":user/" + p.value("user", name);
    keys.add(std::move(id));
  }
}

ClientFiles write_client_files(const Json& scenario, const std::string& dir) {
  std::string credentials, config;
  const std::string region = scenario.value("region", std::string("us-east-1"));
  const Json profiles = scenario.value("profiles", Json::object());
  for (const auto& [name, p] : profiles.items()) {
    if (p.contains("aws_access_key_id")) {
      credentials += "[" + name + "]\naws_access_key_id = " + p["aws_access_key_id"].get<std::string>() +
                     "\naws_secret_access_key = " + p["aws_secret_access_key"].get<std::string>() + "\n\n";
    }
    config += name == "default" ? "[default]\n" : "[profile " + name + "]\n";
    config += "region = " + p.value("region", region) + "\n";
    if (p.contains("role_arn")) {
      config += "role_arn = " + p["role_arn"].get<std::string>() + "\n";
      config += "source_profile = " + p["source_profile"].get<std::string>() + "\n";
    }
    config += "\n";
  }
  ClientFiles files{dir + "/credentials", dir + "/config"};
  write_private(files.credentials_file, credentials);
  write_private(files.config_file, config);
  return files;
}

}  // namespace qvn::sandbox
