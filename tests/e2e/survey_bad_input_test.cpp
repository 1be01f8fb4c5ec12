// subnet_survey against bad input of every kind: the command line, the AWS
// config and credentials files, credential processes, the metadata service,
// endpoints and AWS answering garbage, paths it cannot write, a controller
// that is unreachable or answers garbage. Each row must end with status 1 or
// 2 and a clear last line on standard error, write no test configuration and
// send no request that changes anything.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <fstream>
#include <functional>

#include "e2e/survey_support.hpp"

namespace qvn::e2e {
namespace {

namespace fs = std::filesystem;

struct BadInput {
  std::string name;
  // The arguments after the common ones (--vpc, --region, --assume_role, --output_test_config out.json).
  std::function<std::vector<std::string>(SandboxProcess&)> tail;
  Environment env = {};
  // Files the row needs, made in the run folder before the run.
  std::vector<std::pair<std::string, std::string>> files = {};
  // Scenario changes (merged into spoke.json) for this row only.
  nlohmann::json scenario_patch = nullptr;
  // The arguments replace the common ones entirely.
  bool bare = false;
  // A refused or unusable controller lookup leaves that gateway out and the
  // search goes on: the run writes "[]" and ends with status 1.
  bool writes_empty_list = false;
};

bool is_read_only(const std::string& operation) {
  for (const char* prefix : {"Describe", "Get", "List", "Head", "AssumeRole"})
    if (operation.rfind(prefix, 0) == 0) return true;
  return false;
}

std::string last_line(const std::string& text) {
  std::string trimmed = text;
  while (!trimmed.empty() && (trimmed.back() == '\n' || trimmed.back() == '\r')) trimmed.pop_back();
  const size_t nl = trimmed.rfind('\n');
  return nl == std::string::npos ? trimmed : trimmed.substr(nl + 1);
}

class SurveyBadInput : public SurveyAgainstSandbox {
 protected:
  SurveyBadInput() : SurveyAgainstSandbox("spoke.json") {}
};

TEST_F(SurveyBadInput, EveryKindEndsWithOneClearLineAndChangesNothing) {
  const auto natgw = [](SandboxProcess&) { return std::vector<std::string>{"natgw"}; };
  const auto spoke_at = [](const std::string& controller) {
    return [controller](SandboxProcess& s) {
      return std::vector<std::string>{"spoke", "--controller_ip", controller.empty() ? s.controller() : controller,
                                      "--controller_user", "admin", "--controller_password", kControllerPassword,
                                      "--spoke_gw_name", "spoke1"};
    };
  };
  const auto spoke = spoke_at("");
  const std::string garbage("\x7f" "ELF\x02\x01\x01\0\0\0[profile\0default]\n\xff\xfe=\x80\n", 28);
  const std::string deep(100000, '[');
  const std::string aws_port = sandbox().get("AWS_ENDPOINT_URL");

  const std::vector<BadInput> rows = {
      // The command line.
      {"unknown option", [](SandboxProcess&) { return std::vector<std::string>{"--bogus", "natgw"}; }},
      {"unknown sub-command", [](SandboxProcess&) { return std::vector<std::string>{"explode"}; }},
      {"option without its value", [](SandboxProcess&) { return std::vector<std::string>{"natgw", "--vpc"}; }},
      {"required option missing",
       [](SandboxProcess&) { return std::vector<std::string>{"--vpc", kSpokeVpc, "--region", "us-east-1", "natgw"}; },
       {}, {}, nullptr, true},
      {"spoke without its controller options", [](SandboxProcess&) { return std::vector<std::string>{"spoke"}; }},
      {"role that is not an ARN",
       [](SandboxProcess&) {
         return std::vector<std::string>{"--vpc", kSpokeVpc, "--region", "us-east-1", "--assume_role", "not-an-arn",
                                         "--output_test_config", "out.json", "natgw"};
       },
       {}, {}, nullptr, true},
      {"unknown profile", [](SandboxProcess&) { return std::vector<std::string>{"--profile", "nosuch", "natgw"}; }},
      // The AWS config and credentials files.
      {"config file that is a folder", natgw, {{"AWS_CONFIG_FILE", "."}}},
      {"credentials file that is a folder", natgw, {{"AWS_SHARED_CREDENTIALS_FILE", "."}}},
      {"config and credentials files of binary garbage with NUL bytes", natgw,
       {{"AWS_CONFIG_FILE", "garbage"}, {"AWS_SHARED_CREDENTIALS_FILE", "garbage"}}, {{"garbage", garbage}}},
      {"profile section never closed",
       [](SandboxProcess&) { return std::vector<std::string>{"--profile", "x", "natgw"}; },
       {{"AWS_CONFIG_FILE", "config"}}, {{"config", "[profile x\nregion = us-east-1\n"}}},
      {"profile that is its own source profile",
       [](SandboxProcess&) { return std::vector<std::string>{"--profile", "loop", "natgw"}; },
       {{"AWS_CONFIG_FILE", "config"}},
       {{"config", "[profile loop]\nrole_arn = " + kSurveyRole + "\nsource_profile = loop\n"}}},
      {"role profile whose source profile is missing",
       [](SandboxProcess&) { return std::vector<std::string>{"--profile", "r", "natgw"}; },
       {{"AWS_CONFIG_FILE", "config"}},
       {{"config", "[profile r]\nrole_arn = " + kSurveyRole + "\nsource_profile = gone\n"}}},
      {"credential process printing garbage",
       [](SandboxProcess&) { return std::vector<std::string>{"--profile", "p", "natgw"}; },
       {{"AWS_CONFIG_FILE", "config"}}, {{"config", "[profile p]\ncredential_process = echo not-json\n"}}},
      {"credential process that fails",
       [](SandboxProcess&) { return std::vector<std::string>{"--profile", "p", "natgw"}; },
       {{"AWS_CONFIG_FILE", "config"}}, {{"config", "[profile p]\ncredential_process = false\n"}}},
      {"credential process answering JSON without keys",
       [](SandboxProcess&) { return std::vector<std::string>{"--profile", "p", "natgw"}; },
       {{"AWS_CONFIG_FILE", "config"}},
       {{"config", "[profile p]\ncredential_process = echo {\"Version\": 1, \"AccessKeyId\": 7}\n"}}},
      {"credential process answering deeply nested JSON",
       [](SandboxProcess&) { return std::vector<std::string>{"--profile", "p", "natgw"}; },
       {{"AWS_CONFIG_FILE", "config"}},
       {{"config", "[profile p]\ncredential_process = cat deep.json\n"}, {"deep.json", deep}}},
      // The metadata service, endpoints and settings.
      {"metadata service answering garbage", natgw,
       {{"AWS_CONFIG_FILE", "/dev/null"},
        {"AWS_SHARED_CREDENTIALS_FILE", "/dev/null"},
        {"AWS_EC2_METADATA_DISABLED", ""},
        {"AWS_EC2_METADATA_SERVICE_ENDPOINT", aws_port + "/ip-echo/"}}},
      {"endpoint URL that is not a URL", natgw, {{"AWS_ENDPOINT_URL", "::not a url::"}}},
      {"endpoint answering something that is not AWS", natgw, {{"AWS_ENDPOINT_URL", aws_port + "/ip-echo"}}},
      {"endpoint with nothing listening", natgw, {{"AWS_ENDPOINT_URL", "http://127.0.0.1:9"}}},
      {"attempt count that is not a number", natgw, {{"AWS_MAX_ATTEMPTS", "many"}}},
      {"unknown retry mode", natgw, {{"AWS_RETRY_MODE", "reckless"}}},
      {"STS failing", natgw, {}, {},
       {{"faults", {{{"service", "sts"}, {"error", {{"code", "InternalError"}, {"status", 500}}}}}}}},
      {"EC2 refusing the search", natgw, {}, {},
       {{"faults", {{{"service", "ec2"}, {"error", {{"code", "UnauthorizedOperation"}, {"status", 403}}}}}}}},
      // Paths.
      {"log folder below a regular file",
       [](SandboxProcess&) { return std::vector<std::string>{"--backup_folder", "blocker/logs", "natgw"}; }, {},
       {{"blocker", "a file\n"}}},
      {"output below a regular file",
       [](SandboxProcess&) {
         return std::vector<std::string>{"--vpc", kSpokeVpc, "--region", "us-east-1", "--assume_role", kSurveyRole,
                                         "--output_test_config", "blocker/out.json", "natgw"};
       },
       {}, {{"blocker", "a file\n"}}, nullptr, true},
      {"output that cannot be written",
       [spoke](SandboxProcess& s) {
         std::vector<std::string> args{"--vpc", kSpokeVpc, "--region", "us-east-1", "--assume_role", kSurveyRole,
                                       "--output_test_config", "/proc/qvn-out.json"};
         for (auto& a : spoke(s)) args.push_back(a);
         return args;
       },
       {}, {}, nullptr, true},
      // The controller.
      {"controller with nothing listening", spoke_at("127.0.0.1:9")},
      {"controller speaking plain HTTP", spoke_at(aws_port.substr(std::string("http://").size()))},
      {"controller refusing the gateway list", spoke, {}, {},
       {{"controller", {{"list_error", "Internal server error: database unavailable"}}}}, false, true},
      {"controller answering gateway records of the wrong types", spoke, {}, {},
       {{"controller",
         {{"gateways",
           {{{"gw_name", "spoke1"}, {"private_ip", 12}, {"gw_subnet_id", nullptr}, {"public_subnet", {1, 2}}}}}}}},
       false, true},
  };

  const nlohmann::json base = readScenario("spoke.json");
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    nlohmann::json scenario = base;
    if (!row.scenario_patch.is_null()) {
      for (const auto& [k, v] : row.scenario_patch.items()) {
        if (k == "controller") {
          for (const auto& [ck, cv] : v.items()) scenario["controller"][ck] = cv;
        } else {
          scenario[k] = v;
        }
      }
    }
    sandbox().load(scenario);
    fs::remove_all(cwd());
    fs::create_directories(cwd());
    for (const auto& [name, content] : row.files) std::ofstream(cwd() / name, std::ios::binary) << content;

    std::vector<std::string> args;
    if (!row.bare) {
      args = {"--vpc", kSpokeVpc, "--region", "us-east-1", "--assume_role", kSurveyRole,
              "--output_test_config", "out.json"};
    }
    for (auto& a : row.tail(sandbox())) args.push_back(a);
    Environment env = sandbox().environment();
    for (const auto& e : row.env) env.push_back(e);
    const ProcessResult r = runProgram(programPath("subnet_survey"), args, cwd(), env);

    EXPECT_TRUE(r.status == 1 || r.status == 2) << "status " << r.status << "\n" << r.err;
    const std::string line = last_line(r.err);
    EXPECT_FALSE(line.empty()) << "nothing on standard error";
    EXPECT_LT(line.size(), 600u) << line;
    for (const char* crash : {"terminate called", "what():", "Aborted", "Segmentation", "AddressSanitizer"})
      EXPECT_EQ(r.err.find(crash), std::string::npos) << r.err;
    if (row.writes_empty_list) {
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(slurp(cwd() / "out.json"), "[]\n");
    } else {
      EXPECT_FALSE(fs::exists(cwd() / "out.json"));
    }
    for (const auto& request : sandbox().requests()) {
      const std::string op = request.value("operation", "");
      EXPECT_TRUE(is_read_only(op)) << "changing request " << op;
    }
  }
}

}  // namespace
}  // namespace qvn::e2e
