#pragma once
// Runs a built program as a process in a given folder and collects its exit
// status, standard output and standard error.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qvn::e2e {

struct ProcessResult {
  int status = -1;
  int signal = 0;  // the signal that ended the program; 0 when it exited
  std::string out;
  std::string err;
};

inline std::string slurp(const std::filesystem::path& path) {
  std::ifstream in(path);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

inline std::string programPath(const std::string& name) { return std::string(QVN_BINARY_DIR) + "/apps/" + name; }

// Keeps a program that goes on to AWS work away from real endpoints, real
// credentials and real waits: any AWS request fails fast on loopback.
inline const std::vector<std::pair<std::string, std::string>>& isolatedEnvironment() {
  static const std::vector<std::pair<std::string, std::string>> env = {
      {"AWS_ENDPOINT_URL", "http://127.0.0.1:9"},
      {"AWS_EC2_METADATA_SERVICE_ENDPOINT", "http://127.0.0.1:9"},
      {"AWS_EC2_METADATA_DISABLED", "true"},
      {"AWS_ACCESS_KEY_ID", "AKIDEXAMPLE"},
      {"AWS_SECRET_ACCESS_KEY", "wJalrXUtnFEMI/K7MDENG+bPxRfiCYEXAMPLEKEY"},
      {"AWS_REGION", "us-east-1"},
      {"AWS_CONFIG_FILE", "/dev/null"},
      {"AWS_SHARED_CREDENTIALS_FILE", "/dev/null"},
      {"AWS_MAX_ATTEMPTS", "1"},
      {"QUORVANE_TIME_SCALE", "0"},
  };
  return env;
}

using Environment = std::vector<std::pair<std::string, std::string>>;

// The isolated environment with `extra` on top (a later entry wins; an
// empty value removes the variable).
inline std::vector<std::string> childEnvironment(const Environment& extra) {
  Environment wanted = isolatedEnvironment();
  for (const auto& entry : extra) wanted.push_back(entry);
  std::vector<std::string> env_text;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry = *e;
    std::string name = entry.substr(0, entry.find('='));
    bool replaced = name == "AWS_PROFILE";
    for (const auto& [n, v] : wanted) replaced = replaced || n == name;
    if (!replaced) env_text.push_back(entry);
  }
  for (std::size_t i = 0; i < wanted.size(); ++i) {
    bool overridden = false;
    for (std::size_t j = i + 1; j < wanted.size(); ++j) overridden = overridden || wanted[j].first == wanted[i].first;
    if (!overridden && !wanted[i].second.empty()) env_text.push_back(wanted[i].first + "=" + wanted[i].second);
  }
  return env_text;
}

// A program started by startProgram, until finishProgram has collected it.
struct StartedProgram {
  pid_t pid = -1;
  std::filesystem::path out_path, err_path;
};

inline StartedProgram startProgram(const std::string& program, const std::vector<std::string>& arguments,
                                   const std::filesystem::path& cwd, const Environment& extra = {}) {
  // Everything the child needs is made before fork: the parent may have threads.
  std::vector<std::string> env_text = childEnvironment(extra);
  std::vector<char*> envp;
  for (auto& entry : env_text) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  StartedProgram started{-1, cwd / ".stdout", cwd / ".stderr"};
  started.pid = ::fork();
  if (started.pid == 0) {
    if (::chdir(cwd.c_str()) != 0) ::_exit(126);
    int out = ::open(started.out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = ::open(started.err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(out, 1);
    ::dup2(err, 2);
    ::execve(program.c_str(), argv.data(), envp.data());
    ::_exit(127);
  }
  return started;
}

// Collects a started program: waits for its end, or with `wait` false
// returns nothing while it still runs. A program ended by a signal has the
// status 128 + the signal, and `signal` says which.
inline std::optional<ProcessResult> finishProgram(StartedProgram& started, bool wait = true) {
  int wstatus = 0;
  const pid_t ended = ::waitpid(started.pid, &wstatus, wait ? 0 : WNOHANG);
  if (ended == 0) return std::nullopt;
  ProcessResult result;
  if (ended == started.pid) {
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    result.signal = WIFSIGNALED(wstatus) ? WTERMSIG(wstatus) : 0;
  }
  result.out = slurp(started.out_path);
  result.err = slurp(started.err_path);
  std::filesystem::remove(started.out_path);
  std::filesystem::remove(started.err_path);
  started.pid = -1;
  return result;
}

inline ProcessResult runProgram(const std::string& program, const std::vector<std::string>& arguments,
                                const std::filesystem::path& cwd, const Environment& extra = {}) {
  StartedProgram started = startProgram(program, arguments, cwd, extra);
  return *finishProgram(started);
}

// A fresh, empty folder for one test, removed at the end of the test.
class ScratchFolder {
 public:
  explicit ScratchFolder(const std::string& tag)
      : path_(std::filesystem::temp_directory_path() / ("qvn_e2e_" + tag + "_" + std::to_string(::getpid()))) {
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~ScratchFolder() { std::filesystem::remove_all(path_); }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace qvn::e2e
