// The qvn-aws command line, run in-process: usage errors, output and the
// exit status of a refusal.
#include <gtest/gtest.h>

#include <sstream>

#include "awscli/cli_runner.hpp"
#include "aws/ec2.hpp"
#include "services_fake_sender.hpp"

namespace qvn::aws::testing {
namespace {

using awscli::CliEnvironment;
using awscli::run_aws_cli;

struct CliRun {
  int status;
  std::string out;
  std::string err;
};

class Cli : public ::testing::Test {
 protected:
  CliRun run(const std::vector<std::string>& args) {
    std::ostringstream out, err;
    CliEnvironment env;
    env.make_sender = [this](const ServiceId& id) {
      made_for = id.name;
      return sender;
    };
    const int status = run_aws_cli(args, out, err, env);
    return {status, out.str(), err.str()};
  }
  std::shared_ptr<ScriptedSender> sender = std::make_shared<ScriptedSender>(Ec2Client::service_id());
  std::string made_for;
};

TEST_F(Cli, UsageErrorsExitTwoWithoutSending) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {},
           {"ec2"},
           {"ec3", "describe_subnets"},
           {"ec2", "describe_subnet"},
           {"ec2", "describe_subnets", "--input"},
           {"ec2", "describe_subnets", "extra"},
           {"ec2", "describe_subnets", "--input", "--help"},
           {"ec2", "describe_subnets", "--region=eu-west-2", "--regoin", "eu-west-2"},
           {"ec2", "describe_subnets", "--input", "{not json"},
           {"ec2", "describe_subnets", "--input", "[1]"},
           {"ec2", "describe_subnets", "--verbose"},
           {"ec2", "describe_subnets", "--input", R"({"SubnetId": ["subnet-1"]})"},
           {"ec2", "describe_subnets", "--input", R"({"SubnetIds": "subnet-1"})"},
           {"ec2", "run_instances", "--input", R"({"MinCount": 1})"},
       }) {
    SCOPED_TRACE(::testing::PrintToString(args));
    const CliRun r = run(args);
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(r.out.empty());
    EXPECT_FALSE(r.err.empty());
  }
  EXPECT_TRUE(sender->sent.empty());
}

TEST_F(Cli, MessagesNameTheProblem) {
  EXPECT_NE(run({"ec2", "describe_subnet"}).err.find("unknown operation \"describe_subnet\""), std::string::npos);
  EXPECT_NE(run({"ec2", "describe_subnet"}).err.find("did you mean \"describe_subnets\"?"), std::string::npos);
  EXPECT_NE(run({"ec2", "descrbie_subnets"}).err.find("did you mean \"describe_subnets\"?"), std::string::npos);
  // Nothing close: every operation is listed.
  const std::string far = run({"ec2", "frobnicate"}).err;
  EXPECT_EQ(far.find("did you mean"), std::string::npos) << far;
  EXPECT_NE(far.find("one of: "), std::string::npos) << far;
  EXPECT_NE(far.find("describe_subnets"), std::string::npos) << far;
  EXPECT_NE(run({"ec2", "describe_subnets", "--input", R"({"SubnetId": []})"})
                .err.find("Unknown parameter in input: \"SubnetId\""),
            std::string::npos);
}

TEST_F(Cli, HelpAndVersionWinWhereverTheyStandAndSendNothing) {
  for (const auto& args : std::vector<std::vector<std::string>>{{"--help"}, {"ec2", "-h"}, {"ec3", "x", "--verbose", "--help"}}) {
    const CliRun r = run(args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind("usage: qvn-aws SERVICE OPERATION [--region REGION] [--profile PROFILE] [--input JSON] "
                          "[--no-paginate]\n               [--debug]\n\nSends one AWS request",
                          0),
              0u)
        << r.out;
    EXPECT_NE(r.out.find("\npositional arguments:\n  SERVICE               ec2, iam, s3, ssm or sts\n  OPERATION"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("get_caller_identity);\n                        a mistyped one"), std::string::npos) << r.out;
    EXPECT_TRUE(r.err.empty());
  }
  const CliRun version = run({"sts", "get_caller_identity", "--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("qvn-aws ", 0), 0u) << version.out;
  const CliRun usage = run({"ec2"});
  EXPECT_EQ(usage.err.rfind("usage: qvn-aws SERVICE OPERATION", 0), 0u) << usage.err;
  EXPECT_NE(usage.err.find("\nqvn-aws: error: expected SERVICE and OPERATION\n"), std::string::npos) << usage.err;
  EXPECT_NE(run({"ec3", "describe_subnets"}).err.find("unknown service \"ec3\"; one of: ec2, iam, s3, ssm, sts"),
            std::string::npos);
  EXPECT_TRUE(sender->sent.empty());

  // A value written with "=" is that option's value.
  sender->answer("<DescribeSubnetsResponse><subnetSet/></DescribeSubnetsResponse>");
  const CliRun with_equals = run({"ec2", "describe_subnets", "--region=eu-west-2", "--input={}"});
  EXPECT_EQ(with_equals.status, 0) << with_equals.err;
  EXPECT_EQ(sender->sent.size(), 1u);
}

TEST_F(Cli, PrintsTheResultWithAwsMemberNames) {
  sender->answer(
      "<DescribeSubnetsResponse><subnetSet><item><subnetId>subnet-1</subnetId>"
      "<cidrBlock>10.0.1.0/24</cidrBlock></item></subnetSet></DescribeSubnetsResponse>");
  const CliRun r =
      run({"ec2", "describe_subnets", "--region", "eu-west-2", "--input", R"({"SubnetIds":["subnet-1"]})"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(made_for, "ec2");
  EXPECT_EQ(r.out,
            "{\n    \"Subnets\": [\n        {\n            \"CidrBlock\": \"10.0.1.0/24\",\n"
            "            \"SubnetId\": \"subnet-1\",\n            \"Tags\": []\n        }\n    ]\n}\n");
  ASSERT_EQ(sender->sent.size(), 1u);
  EXPECT_EQ(field(sender->sent[0].form, "SubnetId.1"), "subnet-1");
}

TEST_F(Cli, NoPaginateSendsOnePage) {
  sender->answer("<DescribeSubnetsResponse><subnetSet/><nextToken>t1</nextToken></DescribeSubnetsResponse>");
  const CliRun r = run({"ec2", "describe_subnets", "--no-paginate"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("\"NextToken\": \"t1\""), std::string::npos);
  EXPECT_EQ(sender->sent.size(), 1u);
}

TEST_F(Cli, OperationWithoutOutputPrintsNothing) {
  sender->answer("<DeleteKeyPairResponse><return>true</return></DeleteKeyPairResponse>");
  const CliRun r = run({"ec2", "delete_key_pair", "--input", R"({"KeyName":"k"})"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
}

TEST_F(Cli, RefusalPrintsTheSdkMessageAndExits254) {
  sender->refuse(400, "InvalidSubnetID.NotFound", "The subnet ID 'subnet-9' does not exist");
  const CliRun r = run({"ec2", "describe_subnets", "--input", R"({"SubnetIds":["subnet-9"]})"});
  EXPECT_EQ(r.status, 254);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "\nAn error occurred (InvalidSubnetID.NotFound) when calling the DescribeSubnets operation: "
            "The subnet ID 'subnet-9' does not exist\n");
}

TEST_F(Cli, LocalFailureExits255) {
  const CliRun r =
      run({"s3", "upload_file", "--input", R"({"Filename":"/nonexistent/qvn/file","Bucket":"b","Key":"k"})"});
  EXPECT_EQ(r.status, 255);
  EXPECT_NE(r.err.find("/nonexistent/qvn/file"), std::string::npos);
  EXPECT_TRUE(sender->sent.empty());
}

}  // namespace
}  // namespace qvn::aws::testing
