// Reading the shared config and credentials files: what is read, what is
// refused with the file and line named, and how profiles resolve from them.
#include <gtest/gtest.h>

#include <sstream>

#include "awscli/cli_runner.hpp"
#include "aws/config_files.hpp"
#include "aws/errors.hpp"
#include "aws/session.hpp"
#include "awscore_test_support.hpp"

namespace qvn::aws {
namespace {

using awscli::run_aws_cli;

// The message of the ConfigError that parsing `text` throws; empty when it parses.
std::string refusal(const std::string& text) {
  try {
    parse_ini(text, "/home/u/.aws/config");
  } catch (const ConfigError& error) {
    return error.what();
  }
  return "";
}

TEST(ConfigFileSyntaxTest, HeadersWithCommentsBlanksAndQuotedNames) {
  auto sections = parse_ini(
      "[default] # main account\nregion = eu-west-1\n"
      "[profile   dev]   ; the developers\nregion = us-east-2\n"
      "[profile \"p 1\"]\nregion = ap-south-1\n"
      "[profile\tTabbed]\nregion = sa-east-1\n"
      "[sso-session  corp]\nsso_region = eu-west-1\n"
      "[services \"local\"]\nec2 =\n  endpoint_url = http://localhost\n");
  EXPECT_EQ(sections["default"].get("region"), "eu-west-1");
  EXPECT_EQ(sections["profile dev"].get("region"), "us-east-2");
  EXPECT_EQ(sections["profile p 1"].get("region"), "ap-south-1");
  EXPECT_EQ(sections["profile Tabbed"].get("region"), "sa-east-1");
  EXPECT_EQ(sections["sso-session corp"].get("sso_region"), "eu-west-1");
  EXPECT_EQ(sections["services local"].sub_sections["ec2"]["endpoint_url"], "http://localhost");
  EXPECT_EQ(sections.size(), 6u);
}

TEST(ConfigFileSyntaxTest, ColonSeparatorsKeyCaseAndContinuations) {
  auto sections = parse_ini(
      "[default]\nRegion: eu-west-1\nAWS_Access_Key_ID = AKID\nrole_arn = arn:aws:iam::1:role/r\n"
      "credential_process: /bin/tool --mode=x\n"
      "S3 =\n  Addressing_Style = path\n\n  max_concurrent_requests = 4\n"
      "note = first\n    second line\noutput = json\r\n");
  const ConfigSection& section = sections["default"];
  EXPECT_EQ(section.get("region"), "eu-west-1");
  EXPECT_EQ(section.get("aws_access_key_id"), "AKID");
  EXPECT_FALSE(section.get("Region"));
  // The first of '=' and ':' separates the name; the rest belongs to the value.
  EXPECT_EQ(section.get("role_arn"), "arn:aws:iam::1:role/r");
  EXPECT_EQ(section.get("credential_process"), "/bin/tool --mode=x");
  EXPECT_EQ(section.sub_sections.at("s3").at("addressing_style"), "path");
  EXPECT_EQ(section.sub_sections.at("s3").at("max_concurrent_requests"), "4");
  EXPECT_EQ(section.get("note"), "first\nsecond line");
  EXPECT_EQ(section.get("output"), "json");
}

TEST(ConfigFileSyntaxTest, WhatCannotBeReadWithoutGuessingIsRefusedWithFileAndLine) {
  struct Case {
    std::string text;
    std::string message;
  };
  for (const Case& c : std::vector<Case>{
           {"[default]\nregion = a\n[p1\nregion = b\n", "line 3: section header without its closing ]"},
           {"region = a\n[default]\n", "line 1: a setting before the first section header"},
           {"# notes\n\n  aws_access_key_id = K\n", "line 3: a setting before the first section header"},
           {"[default]\nregion eu-west-1\n", "line 2: a line without = inside a section"},
           {"[default]\nregion = a\n[profile x]\n[default]\n", "line 4: duplicate section [default]"},
           {"[profile x]\n[profile  x]\n", "line 2: duplicate section [profile  x]"},
           {"[default]\nregion = a\nREGION = b\n", "line 3: duplicate setting region"},
           {"[default]\ns3 =\n  a = 1\n  a = 2\n", "line 4: duplicate setting a under s3"},
           {"[default]\ns3 =\n  just words\n", "line 3: a line without = inside a section"},
           {"\xEF\xBB\xBF[default]\nregion = a\n", "line 1: the file starts with a UTF-8 byte order mark"},
           {"[]\n", "line 1: empty section header"},
           {"[default] region = a\n", "line 1: text after the section header"},
           {"[profile \"p 1]\n", "line 1: malformed section header"},
           {"[default]\n = value\n", "line 2: a setting without a name"},
       }) {
    SCOPED_TRACE(c.text);
    std::string message = refusal(c.text);
    EXPECT_TRUE(message.starts_with("cannot read /home/u/.aws/config: ")) << message;
    EXPECT_NE(message.find(c.message), std::string::npos) << message;
  }
}

class SharedConfigFilesTest : public testing::AwsEnvironmentTest {};

TEST_F(SharedConfigFilesTest, UnclosedHeaderNoLongerLendsAnotherProfilesKeysToDefault) {
  write_credentials(
      "[default]\naws_access_key_id = DEFAULTKEY\naws_secret_access_key = d\n"
      "[other\naws_access_key_id = OTHERKEY\naws_secret_access_key = o\n");
  try {
    SharedConfig::load();
    FAIL() << "expected a ConfigError";
  } catch (const ConfigError& error) {
    EXPECT_EQ(std::string(error.what()),
              "cannot read " + (folder_ / "credentials").string() + ": line 4: section header without its closing ]");
  }
}

TEST_F(SharedConfigFilesTest, HeaderCommentsKeepEachProfileItsOwnKeysAndRegion) {
  write_config("[default] # main\nregion = eu-west-1\n[profile dev] # sandbox account\nregion = us-west-2\n");
  write_credentials(
      "[default] ; main\naws_access_key_id = MAINKEY\naws_secret_access_key = m\n"
      "[dev] ; sandbox\naws_access_key_id = DEVKEY\naws_secret_access_key = d\n");
  SharedConfig config = SharedConfig::load();
  EXPECT_EQ(config.profile("default").get("aws_access_key_id"), "MAINKEY");
  EXPECT_EQ(config.profile("default").get("region"), "eu-west-1");
  EXPECT_EQ(config.profile("dev").get("aws_access_key_id"), "DEVKEY");
  EXPECT_EQ(config.profile("dev").get("region"), "us-west-2");
}

TEST_F(SharedConfigFilesTest, QuotedAndSpacedProfileNamesResolveTheirRegion) {
  write_config("[profile \"p 1\"]\nregion = ap-south-1\n[profile    spaced]\nRegion: eu-north-1\n");
  SessionOptions options;
  options.profile = "p 1";
  EXPECT_EQ(Session::create(options)->region(), "ap-south-1");
  options.profile = "spaced";
  EXPECT_EQ(Session::create(options)->region(), "eu-north-1");
}

TEST_F(SharedConfigFilesTest, QvnAwsRefusesAMalformedFileWithStatus253AndSendsNothing) {
  write_config("[default]\nregion = eu-west-1\n[profile p1\nregion = us-east-1\n");
  std::ostringstream out, err;
  int status = run_aws_cli({"ec2", "describe_subnets"}, out, err);
  EXPECT_EQ(status, 253);
  EXPECT_TRUE(out.str().empty());
  EXPECT_EQ(err.str(), "qvn-aws: error: cannot read " + (folder_ / "config").string() +
                           ": line 3: section header without its closing ]\n");
}

}  // namespace
}  // namespace qvn::aws
