// The main flow of subnet_survey against the sandbox: the output guard, the
// controller login and its trust, the password prompt, the sessions.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>

#include "core/clock.hpp"
#include "e2e/survey_support.hpp"
#include "survey/survey_session.hpp"

namespace qvn::e2e {
namespace {

namespace fs = std::filesystem;

class SurveyMainFlow : public SurveyAgainstSandbox {
 protected:
  SurveyMainFlow() : SurveyAgainstSandbox("spoke.json") {}
};

TEST_F(SurveyMainFlow, ExistingOutputStopsTheRunAfterTheRoleAssumption) {
  { std::ofstream(cwd() / "out.json") << "earlier result\n"; }
  auto r = survey(kSpokeVpc, spoke("spoke1"));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(logged("- Found out.json"));
  EXPECT_EQ(written(), "earlier result\n");
  EXPECT_EQ(sandbox().requests("sts", "AssumeRole").size(), 1u);
  EXPECT_TRUE(sandbox().requests("ec2").empty());
  EXPECT_TRUE(sandbox().controllerRequests().empty());
}

TEST_F(SurveyMainFlow, MissingParentFoldersOfTheOutputAreMade) {
  Environment env = sandbox().environment();
  auto r =
      runProgram(programPath("subnet_survey"),
                 {"--vpc", kSpokeVpc, "--region", "us-east-1", "--assume_role", kSurveyRole, "--output_test_config",
                  "deep/a/b.json", "spoke", "--controller_ip", sandbox().controller(), "--controller_user", "admin",
                  "--controller_password", kControllerPassword, "--spoke_gw_name", "spoke1"},
                 cwd(), env);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(nlohmann::json::parse(slurp(cwd() / "deep" / "a" / "b.json")).size(), 2u);
}

TEST_F(SurveyMainFlow, ProfileSignsTheRoleAssumption) {
  auto r = runProgram(programPath("subnet_survey"),
                      {"--vpc", kSpokeVpc, "--region", "us-east-1", "--assume_role", kSurveyRole, "--profile",
                       "workflow", "spoke", "--controller_ip", sandbox().controller(), "--controller_user", "admin",
                       "--controller_password", kControllerPassword, "--spoke_gw_name", "spoke1"},
                      cwd(), sandbox().environment());
  EXPECT_EQ(r.status, 0) << r.err;
  auto assumed = sandbox().requests("sts", "AssumeRole");
  ASSERT_EQ(assumed.size(), 1u);
  EXPECT_EQ(assumed[0]["access_key"], "AKIAQVNSANDBOX0WF001");
  for (const auto& call : sandbox().requests("ec2")) EXPECT_NE(call["access_key"], "AKIAQVNSANDBOX0WF001");
}

TEST_F(SurveyMainFlow, ControllerCertificateMustBeTrusted) {
  // Without the sandbox's CA the login is not sent; the line says what to do.
  auto r = survey(kSpokeVpc, spoke("spoke1"), {{"QUORVANE_CONTROLLER_CA_BUNDLE", ""}});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("subnet_survey: error: the controller at " + sandbox().controller() + " was not trusted"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("QUORVANE_CONTROLLER_CA_BUNDLE"), std::string::npos);
  EXPECT_FALSE(wrote());
  EXPECT_TRUE(sandbox().controllerRequests().empty());  // the password was not sent

  // The insecure switch skips the check, with a warning.
  r = survey(kSpokeVpc, spoke("spoke1"),
             {{"QUORVANE_CONTROLLER_CA_BUNDLE", ""}, {"QUORVANE_CONTROLLER_INSECURE", "1"}});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("the controller's certificate is not checked"), std::string::npos);
  EXPECT_EQ(entries().size(), 2u);
}

TEST_F(SurveyMainFlow, RefusedLoginEndsTheRunWithTheControllersReason) {
  auto r = survey(kSpokeVpc, {"spoke", "--controller_ip", sandbox().controller(), "--controller_user", "admin",
                              "--controller_password", "Wr0ng-Secret", "--spoke_gw_name", "spoke1"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("refused the login of admin: Invalid username or password."), std::string::npos) << r.err;
  EXPECT_FALSE(wrote());
  EXPECT_EQ(r.err.find("Wr0ng-Secret"), std::string::npos);
  EXPECT_EQ(log().find("Wr0ng-Secret"), std::string::npos);
  EXPECT_TRUE(sandbox().requests("ec2").empty());
}

// subnet_survey on a pseudo-terminal: returns what the terminal showed.
struct TerminalRun {
  int status = -1;
  std::string screen;
  bool echo_was_off = false;
};

TerminalRun runOnTerminal(const std::vector<std::string>& arguments, const fs::path& cwd, const Environment& extra,
                          const std::string& typed) {
  int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) throw std::runtime_error("no pty");
  const std::string slave_name = ::ptsname(master);
  std::vector<std::string> env_text = childEnvironment(extra);
  std::vector<char*> envp;
  for (auto& e : env_text) envp.push_back(e.data());
  envp.push_back(nullptr);
  const std::string program = programPath("subnet_survey");
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const std::string err_path = (cwd / ".stderr").string();
  pid_t pid = ::fork();
  if (pid == 0) {
    ::setsid();
    int slave = ::open(slave_name.c_str(), O_RDWR);  // becomes the controlling terminal
    int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (slave < 0 || ::chdir(cwd.c_str()) != 0) ::_exit(126);
    ::dup2(slave, 0);
    ::dup2(slave, 1);
    ::dup2(err, 2);
    ::execve(program.c_str(), argv.data(), envp.data());
    ::_exit(127);
  }
  TerminalRun run;
  auto readSome = [&](int timeout_ms) {
    pollfd p{master, POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) <= 0) return false;
    char buffer[256];
    ssize_t n = ::read(master, buffer, sizeof buffer);
    if (n <= 0) return false;
    run.screen.append(buffer, static_cast<std::size_t>(n));
    return true;
  };
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (run.screen.find("Password: ") == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    readSome(200);
  }
  termios mode{};
  // The program turns echo off right after the prompt.
  for (int i = 0; i < 100 && !run.echo_was_off; ++i) {
    if (::tcgetattr(master, &mode) == 0 && (mode.c_lflag & ECHO) == 0)
      run.echo_was_off = true;
    else
      ::usleep(20000);
  }
  if (::write(master, typed.data(), typed.size()) != static_cast<ssize_t>(typed.size())) {
    throw std::runtime_error("cannot type");
  }
  int wstatus = 0;
  while (::waitpid(pid, &wstatus, WNOHANG) == 0) readSome(100);
  while (readSome(50)) {
  }
  ::close(master);
  run.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  return run;
}

TEST_F(SurveyMainFlow, PasswordIsAskedForOnTheTerminalWithoutEcho) {
  for (const bool empty_option : {false, true}) {
    SCOPED_TRACE(empty_option ? "empty --controller_password" : "no --controller_password");
    fs::remove(cwd() / "out.json");
    std::vector<std::string> args{"--vpc",
                                  kSpokeVpc,
                                  "--region",
                                  "us-east-1",
                                  "--assume_role",
                                  kSurveyRole,
                                  "--output_test_config",
                                  "out.json",
                                  "spoke",
                                  "--controller_ip",
                                  sandbox().controller(),
                                  "--controller_user",
                                  "admin",
                                  "--spoke_gw_name",
                                  "spoke1"};
    if (empty_option) {
      args.push_back("--controller_password");
      args.push_back("");
    }
    auto run = runOnTerminal(args, cwd(), sandbox().environment(), kControllerPassword + "\n");
    EXPECT_EQ(run.status, 0) << run.screen << slurp(cwd() / ".stderr");
    EXPECT_NE(run.screen.find("Enter Quorvane Controller Password: "), std::string::npos) << run.screen;
    EXPECT_TRUE(run.echo_was_off);
    EXPECT_EQ(run.screen.find(kControllerPassword), std::string::npos) << run.screen;
    EXPECT_EQ(entries().size(), 2u);
    EXPECT_EQ(log().find(kControllerPassword), std::string::npos);
  }
}

// The role session cache, in this process against the sandbox.
class SurveySessionCache : public SurveyAgainstSandbox {
 protected:
  SurveySessionCache() : SurveyAgainstSandbox("spoke.json") {
    for (const auto& [name, value] : sandbox().environment()) {
      saved_.emplace_back(
          name, std::getenv(name.c_str()) ? std::optional<std::string>(std::getenv(name.c_str())) : std::nullopt);
      if (value.empty())
        ::unsetenv(name.c_str());
      else
        ::setenv(name.c_str(), value.c_str(), 1);
    }
    survey::clearAwsSessionCache();
    core::set_clock([this] { return now_; });
  }
  ~SurveySessionCache() override {
    core::set_clock({});
    survey::clearAwsSessionCache();
    for (const auto& [name, value] : saved_) {
      if (value)
        ::setenv(name.c_str(), value->c_str(), 1);
      else
        ::unsetenv(name.c_str());
    }
  }

  std::size_t assumptions() { return sandbox().requests("sts", "AssumeRole").size(); }

  core::TimePoint now_ = std::chrono::system_clock::now();

 private:
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST_F(SurveySessionCache, SameArgumentsWithinTwentyMinutesAssumeTheRoleOnce) {
  auto first = survey::start_aws_session(kSurveyRole);
  auto again = survey::start_aws_session(kSurveyRole, std::nullopt);
  EXPECT_EQ(assumptions(), 1u);
  ASSERT_TRUE(std::holds_alternative<survey::AwsSession>(first));
  EXPECT_EQ(std::get<survey::AwsSession>(first).session, std::get<survey::AwsSession>(again).session);

  survey::start_aws_session(kSurveyRole, "workflow");  // other arguments replace the one entry
  EXPECT_EQ(assumptions(), 2u);
  survey::start_aws_session(kSurveyRole);
  EXPECT_EQ(assumptions(), 3u);

  now_ += std::chrono::seconds(1199);
  survey::start_aws_session(kSurveyRole);
  EXPECT_EQ(assumptions(), 3u);
  // 1201 s after it was made the entry is gone and the role is asked for
  // again (the sandbox refuses a request signed 20 minutes ahead of its
  // clock, but it has seen it).
  now_ += std::chrono::seconds(2);
  EXPECT_THROW(survey::start_aws_session(kSurveyRole), std::exception);
  EXPECT_EQ(assumptions(), 4u);
}

TEST_F(SurveySessionCache, RefusedRoleIsThrownAndNotCached) {
  const std::string foreign = "arn:aws:iam::999999999999:role/not-ours";
  EXPECT_THROW(survey::start_aws_session(foreign), std::exception);
  EXPECT_THROW(survey::start_aws_session(foreign), std::exception);
  EXPECT_EQ(assumptions(), 2u);
}

}  // namespace
}  // namespace qvn::e2e
