// The controller password of subnet_survey spoke: the option, then
// QUORVANE_CONTROLLER_PASSWORD, then the terminal; never in the log.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

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
