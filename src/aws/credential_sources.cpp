#include "aws/credential_sources.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>
#include <vector>

#include "aws/errors.hpp"

namespace qvn::aws {

std::shared_ptr<CredentialsProvider> environment_credentials_provider() {
  auto key = env("AWS_ACCESS_KEY_ID");
  auto secret = env("AWS_SECRET_ACCESS_KEY");
  if (!key && !secret) return nullptr;
  if (!key || !secret)
    throw CredentialsError(
        "partial credentials in the environment: AWS_ACCESS_KEY_ID and "
        "AWS_SECRET_ACCESS_KEY must both be set");
  auto read = [] {
    auto id = env("AWS_ACCESS_KEY_ID");
    auto secret_key = env("AWS_SECRET_ACCESS_KEY");
    if (!id || !secret_key) throw CredentialsError("the environment's credentials were removed");
    Credentials credentials{*id, *secret_key, "", std::nullopt, "environment"};
    if (auto token = env("AWS_SECURITY_TOKEN"))
      credentials.session_token = *token;
    else if (auto session = env("AWS_SESSION_TOKEN"))
      credentials.session_token = *session;
    if (auto expiry = env("AWS_CREDENTIAL_EXPIRATION")) {
      credentials.expiration = parse_timestamp(*expiry);
      if (!credentials.expiration) throw CredentialsError("AWS_CREDENTIAL_EXPIRATION is not a time: " + *expiry);
    }
    return credentials;
  };
  Credentials first = read();
  if (first.expiration) return std::make_shared<RefreshingCredentialsProvider>(read, first);
  return std::make_shared<StaticCredentialsProvider>(first);
}

std::shared_ptr<CredentialsProvider> profile_keys_provider(const ConfigSection& profile,
                                                           const std::string& profile_name) {
  auto key = profile.get("aws_access_key_id");
  auto secret = profile.get("aws_secret_access_key");
  if (!key && !secret) return nullptr;
  if (!key || !secret)
    throw CredentialsError("partial credentials in profile " + profile_name +
                           ": aws_access_key_id and aws_secret_access_key must both be set");
  Credentials credentials{*key, *secret, "", std::nullopt, "shared-credentials"};
  if (auto token = profile.get("aws_session_token"))
    credentials.session_token = *token;
  else if (auto legacy = profile.get("aws_security_token"))
    credentials.session_token = *legacy;
  return std::make_shared<StaticCredentialsProvider>(credentials);
}

}  // namespace qvn::aws

namespace qvn::aws {
namespace {

// The largest answer read from a credential process.
constexpr std::size_t kMaxProcessOutput = 1 << 20;

std::string run_command(const std::string& command, const std::string& profile_name) {
  std::string where = "the credential_process of profile " + profile_name;
  std::vector<std::string> words = split_command_words(command);
  if (words.empty()) throw CredentialsError(where + " is empty");
  std::vector<char*> argv;
  for (auto& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  int pipe_ends[2];
  if (pipe2(pipe_ends, O_CLOEXEC) != 0) throw CredentialsError("cannot run " + where);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], STDOUT_FILENO);
  pid_t child = 0;
  int spawned = posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipe_ends[1]);
  if (spawned != 0) {
    close(pipe_ends[0]);
    throw CredentialsError("cannot run " + where + ": " + words[0] + ": " + std::strerror(spawned));
  }
  std::string output;
  char buffer[4096];
  bool too_long = false;
  for (;;) {
    ssize_t got = read(pipe_ends[0], buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    if (output.size() + static_cast<std::size_t>(got) > kMaxProcessOutput)
      too_long = true;
    else
      output.append(buffer, static_cast<std::size_t>(got));
  }
  close(pipe_ends[0]);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    throw CredentialsError(where + " failed (" +
                           (WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                                              : "signal " + std::to_string(WTERMSIG(status))) +
                           ")");
  if (too_long) throw CredentialsError(where + " printed more than 1 MiB");
  return output;
}

}  // namespace

Credentials parse_process_output(const std::string& output, const std::string& profile_name) {
  auto document = nlohmann::json::parse(output, nullptr, false);
  std::string where = "the credential_process of profile " + profile_name;
  if (!document.is_object()) throw CredentialsError(where + " did not print a JSON object");
  if (!document.contains("Version") || document["Version"] != 1)
    throw CredentialsError(where + " printed an unsupported Version (expected 1)");
  auto text = [&](const char* key) -> std::string {
    if (!document.contains(key)) return "";
    if (!document[key].is_string()) throw CredentialsError(where + ": " + key + " is not a string");
    return document[key];
  };
  Credentials credentials{text("AccessKeyId"), text("SecretAccessKey"), text("SessionToken"), std::nullopt,
                          "credential-process"};
  if (credentials.access_key_id.empty() || credentials.secret_access_key.empty())
    throw CredentialsError(where + " printed no AccessKeyId or SecretAccessKey");
  std::string expiry = text("Expiration");
  if (!expiry.empty()) {
    credentials.expiration = parse_timestamp(expiry);
    if (!credentials.expiration) throw CredentialsError(where + " printed a malformed Expiration");
    if (*credentials.expiration <= core::now())
      throw CredentialsError(where + " printed credentials that expired at " + expiry);
  }
  return credentials;
}

std::vector<std::string> split_command_words(const std::string& command) {
  std::vector<std::string> words;
  std::string word;
  bool in_word = false;
  for (std::size_t i = 0; i < command.size(); ++i) {
    char c = command[i];
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
      if (in_word) words.push_back(std::move(word));
      word.clear();
      in_word = false;
      continue;
    }
    in_word = true;
    if (c == '\\') {
      if (++i == command.size()) throw CredentialsError("the credential_process command ends with a lone backslash");
      word += command[i];
    } else if (c == '\'') {
      auto close = command.find('\'', i + 1);
      if (close == std::string::npos) throw CredentialsError("the credential_process command has an unclosed quote");
      word += command.substr(i + 1, close - i - 1);
      i = close;
    } else if (c == '"') {
      for (++i;; ++i) {
        if (i == command.size()) throw CredentialsError("the credential_process command has an unclosed quote");
        if (command[i] == '"') break;
        // Inside double quotes a backslash only escapes a double quote or a backslash.
        if (command[i] == '\\' && i + 1 < command.size() && (command[i + 1] == '"' || command[i + 1] == '\\')) ++i;
        word += command[i];
      }
    } else {
      word += c;
    }
  }
  if (in_word) words.push_back(std::move(word));
  return words;
}

std::shared_ptr<CredentialsProvider> process_credentials_provider(const ConfigSection& profile,
                                                                  const std::string& profile_name) {
  auto command = profile.get("credential_process");
  if (!command) return nullptr;
  auto fetch = [command = *command, profile_name] {
    return parse_process_output(run_command(command, profile_name), profile_name);
  };
  return std::make_shared<RefreshingCredentialsProvider>(fetch);
}

}  // namespace qvn::aws
