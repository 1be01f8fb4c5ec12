// The controller password of subnet_survey spoke: the option, then
// QUORVANE_CONTROLLER_PASSWORD, then the terminal; never in the log.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <csignal>

#include "e2e/survey_support.hpp"

namespace qvn::e2e {
namespace {

class ControllerPasswordSurvey : public SurveyAgainstSandbox {
 protected:
  ControllerPasswordSurvey() : SurveyAgainstSandbox("spoke.json") {}

  std::vector<std::string> spokeWith(std::vector<std::string> password) {
    std::vector<std::string> tail{
        "spoke", "--controller_ip", sandbox().controller(), "--controller_user", "admin", "--spoke_gw_name", "spoke1"};
    tail.insert(tail.end(), password.begin(), password.end());
    return tail;
  }
};

constexpr const char* kPrompt = "Enter Quorvane Controller Password: ";

// subnet_survey on a pseudo-terminal of its own (its controlling terminal);
// standard output and error go to files as in runProgram. The test reads
// what the program writes to the terminal and types into it.
class TerminalRun {
 public:
  TerminalRun(const std::vector<std::string>& arguments, const std::filesystem::path& cwd, const Environment& extra)
      : cwd_(cwd) {
    const std::string program = programPath("subnet_survey");
    std::vector<std::string> env_text = childEnvironment(extra);
    std::vector<char*> envp;
    for (auto& entry : env_text) envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const std::string out = (cwd / ".stdout").string(), err = (cwd / ".stderr").string();
    pid_ = ::forkpty(&master_, nullptr, nullptr, nullptr);
    if (pid_ == 0) {
      if (::chdir(cwd.c_str()) != 0) ::_exit(126);
      ::dup2(::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
      ::dup2(::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
      ::execve(program.c_str(), argv.data(), envp.data());
      ::_exit(127);
    }
  }
  ~TerminalRun() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (master_ >= 0) ::close(master_);
  }
  TerminalRun(const TerminalRun&) = delete;
  TerminalRun& operator=(const TerminalRun&) = delete;

  // Reads the terminal until `text` has appeared or 30 s have passed.
  bool waitFor(const std::string& text) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (shown_.find(text) == std::string::npos) {
      if (std::chrono::steady_clock::now() > deadline || !readSome(100)) return false;
    }
    return true;
  }

  void type(const std::string& text) { ASSERT_EQ(::write(master_, text.data(), text.size()), ssize_t(text.size())); }

  // Waits up to 30 s for the program's end, reading the terminal meanwhile;
  // a program still running then is killed (status -1).
  ProcessResult finish() {
    ProcessResult result;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    int wstatus = 0;
    while (::waitpid(pid_, &wstatus, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) return result;
      readSome(50);
    }
    pid_ = -1;
    while (readSome(0)) {
    }
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    result.signal = WIFSIGNALED(wstatus) ? WTERMSIG(wstatus) : 0;
    result.out = slurp(cwd_ / ".stdout");
    result.err = slurp(cwd_ / ".stderr");
    return result;
  }

  void signal(int number) { ::kill(pid_, number); }
  // The terminal's settings, as the program left them (master and slave share them).
  termios settings() const {
    termios t{};
    ::tcgetattr(master_, &t);
    return t;
  }
  const std::string& shown() const { return shown_; }

 private:
  bool readSome(int timeout_ms) {
    pollfd p{master_, POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) <= 0) return timeout_ms > 0;
    char buffer[256];
    const ssize_t n = ::read(master_, buffer, sizeof buffer);
    if (n <= 0) return false;
    shown_.append(buffer, static_cast<std::size_t>(n));
    return true;
  }

  std::filesystem::path cwd_;
  int master_ = -1;
  pid_t pid_ = -1;
  std::string shown_;
};

class TerminalPasswordSurvey : public ControllerPasswordSurvey {
 protected:
  std::unique_ptr<TerminalRun> startOnTerminal(const std::vector<std::string>& password = {}) {
    std::vector<std::string> arguments{"--vpc",     kSpokeVpc, "--region", "us-east-1", "--assume_role", kSurveyRole,
                                       "--output_test_config", "out.json"};
    for (const auto& a : spokeWith(password)) arguments.push_back(a);
    Environment env = sandbox().environment();
    env.emplace_back("QUORVANE_CONTROLLER_PASSWORD", "");
    return std::make_unique<TerminalRun>(arguments, cwd(), env);
  }
};

TEST_F(TerminalPasswordSurvey, AnAnswerTypedTheMomentThePromptAppearsIsNeitherEchoedNorLost) {
  // Several rounds: echo turned off after the prompt loses such an answer now
  // and then. An empty option asks as well.
  for (int round = 0; round < 4; ++round) {
    std::filesystem::remove(cwd() / "out.json");
    auto run = round % 2 == 0 ? startOnTerminal() : startOnTerminal({"--controller_password", ""});
    ASSERT_TRUE(run->waitFor(kPrompt)) << "shown: " << run->shown();
    run->type(std::string(kControllerPassword) + "\n");
    ProcessResult r = run->finish();
    ASSERT_EQ(r.status, 0) << "round " << round << ", shown: " << run->shown() << "\n" << r.err;
    EXPECT_EQ(entries().size(), 2u);
    EXPECT_EQ(run->shown().find(kControllerPassword), std::string::npos) << run->shown();
    EXPECT_NE(run->settings().c_lflag & ECHO, 0U) << "echo is back on";
    EXPECT_EQ(log().find(kControllerPassword), std::string::npos);
  }
}

TEST_F(TerminalPasswordSurvey, ASignalAtThePromptGivesTheTerminalItsEchoBack) {
  for (int signal : {SIGINT, SIGTERM}) {
    auto run = startOnTerminal();
    ASSERT_TRUE(run->waitFor(kPrompt)) << "shown: " << run->shown();
    EXPECT_EQ(run->settings().c_lflag & ECHO, 0U) << "echo is off while the prompt waits";
    run->signal(signal);
    ProcessResult r = run->finish();
    EXPECT_EQ(r.status, 128 + signal) << r.err;
    EXPECT_NE(run->settings().c_lflag & ECHO, 0U) << "echo is back on after " << signal;
    EXPECT_TRUE(sandbox().controllerRequests().empty()) << "nothing was sent to the controller";
  }
}

TEST_F(ControllerPasswordSurvey, TheVariableLogsInWhenTheOptionIsAbsentOrEmpty) {
  for (const auto& option : std::vector<std::vector<std::string>>{{}, {"--controller_password", ""}}) {
    std::filesystem::remove(cwd() / "out.json");
    auto r = survey(kSpokeVpc, spokeWith(option), {{"QUORVANE_CONTROLLER_PASSWORD", kControllerPassword}});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(wrote());
    EXPECT_EQ(r.err.find(kControllerPassword), std::string::npos);
    EXPECT_EQ(log().find(kControllerPassword), std::string::npos);
  }
}

TEST_F(ControllerPasswordSurvey, TheOptionWinsOverTheVariable) {
  auto r = survey(kSpokeVpc, spokeWith({"--controller_password", "not-the-password"}),
                  {{"QUORVANE_CONTROLLER_PASSWORD", kControllerPassword}});
  EXPECT_NE(r.status, 0) << "the option's wrong password is the one sent";
  EXPECT_FALSE(wrote());
  EXPECT_EQ(log().find("not-the-password"), std::string::npos);
  EXPECT_EQ(r.err.find("not-the-password"), std::string::npos);
  EXPECT_EQ(log().find(kControllerPassword), std::string::npos);
}

TEST_F(ControllerPasswordSurvey, NeitherOptionNorVariableNorTerminalIsOneClearLine) {
  // The program would ask on the terminal that it shares with the tests.
  const int terminal = ::open("/dev/tty", O_RDWR | O_NOCTTY);
  if (terminal >= 0) {
    ::close(terminal);
    GTEST_SKIP() << "the tests run on a terminal";
  }
  auto r = survey(kSpokeVpc, spokeWith({}), {{"QUORVANE_CONTROLLER_PASSWORD", ""}});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("subnet_survey: error: no --controller_password or QUORVANE_CONTROLLER_PASSWORD given"),
            std::string::npos)
      << r.err;
  EXPECT_TRUE(sandbox().controllerRequests().empty()) << "nothing was sent to the controller";
}

}  // namespace
}  // namespace qvn::e2e
