// Both programs against bad input of every kind: the command line, the test
// configuration, the AWS config and credentials files, credential
// processes, the metadata service, endpoints and AWS answering garbage,
// paths that cannot be read or written, a controller that is unreachable or
// answers garbage. Each row must end with status 1 or 2 and one clear last
// line on standard error, write no output, leave the files it was given as
// they were and send no request that changes anything.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>

#include "e2e/deploy_support.hpp"
#include "e2e/survey_support.hpp"

namespace qvn::e2e {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using Args = std::vector<std::string>;

enum class Program { Survey, Deploy };

struct BadInput {
  std::string name;
  Program program;
  // The arguments after the program's common ones: for subnet_survey --vpc,
  // --region, --assume_role and --output_test_config out.json; for
  // probe_deploy --test_config in.json, --output_test_config out.json and
  // --region.
  std::function<Args(SandboxProcess&)> tail;
  Environment env = {};
  // Files the row needs, made in the run folder before the run. A
  // probe_deploy row gets a good in.json unless it brings its own.
  std::vector<std::pair<std::string, std::string>> files = {};
  // Changes to the program's scenario for this row only.
  std::function<void(Json&)> scenario_change = {};
  // The arguments replace the common ones entirely.
  bool bare = false;
  // Text the standard error must hold, when the row has a message of its own.
  std::string message = {};
  // A refused or unusable controller lookup leaves that gateway out and the
  // search goes on: the run writes "[]" and ends with status 1.
  bool writes_empty_list = false;
  // The run ends before any session is opened: the sandbox hears nothing.
  bool before_aws = false;
};

std::string lastLine(const std::string& text) {
  std::string trimmed = text;
  while (!trimmed.empty() && (trimmed.back() == '\n' || trimmed.back() == '\r')) trimmed.pop_back();
  const size_t nl = trimmed.rfind('\n');
  return nl == std::string::npos ? trimmed : trimmed.substr(nl + 1);
}

Args commonArgs(Program program) {
  if (program == Program::Survey)
    return {"--vpc",   kSpokeVpc, "--region", "us-east-1", "--assume_role", kSurveyRole, "--output_test_config",
            "out.json"};
  return {"--test_config", "in.json", "--output_test_config", "out.json", "--region", "us-east-1"};
}

const char* programName(Program program) { return program == Program::Survey ? "subnet_survey" : "probe_deploy"; }

// The sandbox started below inherits the scale: its instance life cycles
// shrink with probe_deploy's waits.
struct ScaledTime {
  ScaledTime() { ::setenv("QUORVANE_TIME_SCALE", kDeployTimeScale, 1); }
};

// Every row runs against one sandbox, loaded afresh for each.
class BadInputTable : private ScaledTime, public SurveyAgainstSandbox {
 protected:
  BadInputTable() : SurveyAgainstSandbox("spoke.json") {}

  // The spoke scenario; probe_deploy's has two test subnet pairs more and a
  // second VPC with a subnet of its own.
  Json scenarioFor(Program program) const {
    Json scenario = readScenario("spoke.json");
    if (program == Program::Deploy) {
      addTestSubnets(scenario, 2);
      scenario["ec2"]["vpcs"].push_back({{"id", "vpc-0ddd0000000000001"}, {"cidr", "10.99.0.0/16"}});
      scenario["ec2"]["subnets"].push_back({{"id", "subnet-0ddd0000000000001"},
                                            {"vpc", "vpc-0ddd0000000000001"},
                                            {"az", "us-east-1a"},
                                            {"cidr", "10.99.0.0/24"}});
    }
    return scenario;
  }

  // Runs the row's program in a fresh run folder with the row's files,
  // against the row's scenario.
  ProcessResult run(const BadInput& row) {
    Json scenario = scenarioFor(row.program);
    if (row.scenario_change) row.scenario_change(scenario);
    sandbox().load(scenario);
    fs::remove_all(cwd());
    fs::create_directories(cwd());
    for (const auto& [name, content] : givenFiles(row)) std::ofstream(cwd() / name, std::ios::binary) << content;

    Args args = row.bare ? Args{} : commonArgs(row.program);
    for (auto& a : row.tail(sandbox())) args.push_back(a);
    Environment env = sandbox().environment();
    if (row.program == Program::Deploy) env.emplace_back("QUORVANE_TIME_SCALE", kDeployTimeScale);
    env.insert(env.end(), row.env.begin(), row.env.end());
    return runProgram(programPath(programName(row.program)), args, cwd(), env);
  }

  // The files the row's program was given.
  static std::vector<std::pair<std::string, std::string>> givenFiles(const BadInput& row) {
    auto files = row.files;
    if (row.program == Program::Deploy &&
        std::none_of(files.begin(), files.end(), [](const auto& f) { return f.first == "in.json"; }))
      files.emplace_back("in.json", spokeTestConfig(2).dump(2) + "\n");
    return files;
  }

  // Returns whether the run set up its log and ended with its own error line
  // (which the log must then hold too).
  bool check(const BadInput& row) {
    SCOPED_TRACE(std::string(programName(row.program)) + ": " + row.name);
    const ProcessResult r = run(row);
    const auto files = givenFiles(row);
    const std::string fatal = std::string(programName(row.program)) + ": error: ";
    const bool logged = r.err.find(std::string(45, '#')) != std::string::npos && lastLine(r.err).rfind(fatal, 0) == 0;
    if (logged) checkTheLogSaysWhy(r);

    EXPECT_TRUE(r.status == 1 || r.status == 2) << "status " << r.status << "\n" << r.err;
    const std::string line = lastLine(r.err);
    EXPECT_FALSE(line.empty()) << "nothing on standard error";
    EXPECT_LT(line.size(), 600u) << line;
    EXPECT_EQ(r.err.find(kControllerPassword), std::string::npos) << "a password on standard error";
    for (const char* crash : {"terminate called", "what():", "Aborted", "Segmentation", "AddressSanitizer"})
      EXPECT_EQ(r.err.find(crash), std::string::npos) << r.err;
    if (!row.message.empty()) {
      EXPECT_NE(r.err.find(row.message), std::string::npos) << r.err;
    }
    if (row.writes_empty_list) {
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(slurp(cwd() / "out.json"), "[]\n");
    } else {
      EXPECT_FALSE(fs::exists(cwd() / "out.json"));
    }
    for (const auto& [name, content] : files) {
      if (fs::is_regular_file(cwd() / name)) {
        EXPECT_TRUE(slurp(cwd() / name) == content) << name << " was changed";
      }
    }
    if (row.before_aws) {
      EXPECT_TRUE(sandbox().requests().empty()) << "a request before the input was checked";
      const std::string banner(45, '#');
      const size_t end = r.err.rfind(banner);
      EXPECT_NE(end, std::string::npos) << r.err;
      if (end != std::string::npos) {
        const std::string after = r.err.substr(end + banner.size());
        EXPECT_EQ(std::count(after.begin(), after.end(), '\n'), 3)
            << "the banner, a blank line and one line: " << r.err;
      }
    }
    for (const auto& request : sandbox().requests())
      EXPECT_FALSE(isChangingRequest(request)) << "changing request " << request.value("operation", "");
    return logged;
  }

  // Once the banner is out, the error line that ended the run is in the log
  // file as well (the archived log of a failed CI run says why it ended), once.
  void checkTheLogSaysWhy(const ProcessResult& r) {
    const std::string log = slurp(cwd() / "backups" / "log" / "quorvane_testlibs.log");
    const std::string line = lastLine(r.err);
    std::size_t found = 0;
    for (auto at = log.find(" " + line + "\n"); at != std::string::npos; at = log.find(" " + line + "\n", at + 1))
      ++found;
    EXPECT_EQ(found, 1u) << "the log does not say once why the run ended: " << line << "\n" << log;
  }
};

// Rows both programs share: the AWS side of the run.
std::vector<BadInput> awsRows(Program program, SandboxProcess& sandbox) {
  const auto plain = [](SandboxProcess&) { return Args{}; };
  const auto with_profile = [](const std::string& name) {
    return [name](SandboxProcess&) { return Args{"--profile", name}; };
  };
  const std::string garbage(
      "\x7f"
      "ELF\x02\x01\x01\0\0\0[profile\0default]\n\xff\xfe=\x80\n",
      28);
  const std::string aws_port = sandbox.get("AWS_ENDPOINT_URL");
  const auto fault = [](const std::string& service, const std::string& code, int status) {
    return [=](Json& scenario) {
      scenario["faults"] = {{{"service", service}, {"error", {{"code", code}, {"status", status}}}}};
    };
  };
  return {
      {"unknown profile", program, with_profile("nosuch")},
      {"profile asked of a config file that is a folder", program, with_profile("x"), {{"AWS_CONFIG_FILE", "."}}},
      {"credentials file that is a folder", program, plain, {{"AWS_SHARED_CREDENTIALS_FILE", "."}}},
      {"config and credentials files of binary garbage with NUL bytes",
       program,
       plain,
       {{"AWS_CONFIG_FILE", "garbage"}, {"AWS_SHARED_CREDENTIALS_FILE", "garbage"}},
       {{"garbage", garbage}}},
      {"profile section never closed",
       program,
       with_profile("x"),
       {{"AWS_CONFIG_FILE", "config"}},
       {{"config", "[profile x\nregion = us-east-1\n"}}},
      {"profile that is its own source profile",
       program,
       with_profile("loop"),
       {{"AWS_CONFIG_FILE", "config"}},
       {{"config", "[profile loop]\nrole_arn = " + kSurveyRole + "\nsource_profile = loop\n"}}},
      {"role profile whose source profile is missing",
       program,
       with_profile("r"),
       {{"AWS_CONFIG_FILE", "config"}},
       {{"config", "[profile r]\nrole_arn = " + kSurveyRole + "\nsource_profile = gone\n"}}},
      {"credential process printing garbage",
       program,
       with_profile("p"),
       {{"AWS_CONFIG_FILE", "config"}},
       {{"config", "[profile p]\ncredential_process = echo not-json\n"}}},
      {"credential process that fails",
       program,
       with_profile("p"),
       {{"AWS_CONFIG_FILE", "config"}},
       {{"config", "[profile p]\ncredential_process = false\n"}}},
      {"credential process answering JSON without keys",
       program,
       with_profile("p"),
       {{"AWS_CONFIG_FILE", "config"}},
       {{"config", "[profile p]\ncredential_process = echo {\"Version\": 1, \"AccessKeyId\": 7}\n"}}},
      {"credential process answering deeply nested JSON",
       program,
       with_profile("p"),
       {{"AWS_CONFIG_FILE", "config"}},
       {{"config", "[profile p]\ncredential_process = cat deep.json\n"}, {"deep.json", std::string(100000, '[')}}},
      {"metadata service answering garbage",
       program,
       plain,
       {{"AWS_CONFIG_FILE", "/dev/null"},
        {"AWS_SHARED_CREDENTIALS_FILE", "/dev/null"},
        {"AWS_EC2_METADATA_DISABLED", ""},
        {"AWS_EC2_METADATA_SERVICE_ENDPOINT", aws_port + "/ip-echo/"}}},
      {"endpoint URL that is not a URL", program, plain, {{"AWS_ENDPOINT_URL", "::not a url::"}}},
      {"endpoint answering something that is not AWS",
       program,
       plain,
       {{"AWS_ENDPOINT_URL", aws_port + "/_sandbox/nosuch"}}},
      {"endpoint with nothing listening", program, plain, {{"AWS_ENDPOINT_URL", "http://127.0.0.1:9"}}},
      {"attempt count that is not a number", program, plain, {{"AWS_MAX_ATTEMPTS", "many"}}},
      {"unknown retry mode", program, plain, {{"AWS_RETRY_MODE", "reckless"}}},
      {"STS failing while a role is to be assumed",
       program,
       [](SandboxProcess&) {
         return Args{"--assume_role", kSurveyRole};
       },
       {},
       {},
       fault("sts", "InternalError", 500)},
      {"EC2 refusing every call", program, plain, {}, {}, fault("ec2", "UnauthorizedOperation", 403)},
      {"log folder below a regular file",
       program,
       [](SandboxProcess&) {
         return Args{"--backup_folder", "blocker/logs"};
       },
       {},
       {{"blocker", "a file\n"}}},
  };
}

// subnet_survey's spoke search, which succeeds on the sandbox's spoke scenario.
Args spokeSurvey(SandboxProcess& sandbox, const std::string& controller = "") {
  return Args{"spoke",
              "--controller_ip",
              controller.empty() ? sandbox.controller() : controller,
              "--controller_user",
              "admin",
              "--controller_password",
              kControllerPassword,
              "--spoke_gw_name",
              "spoke1"};
}

std::vector<BadInput> surveyRows(SandboxProcess& sandbox) {
  const auto spoke_at = [](const std::string& controller) {
    return [controller](SandboxProcess& s) { return spokeSurvey(s, controller); };
  };
  const auto spoke = spoke_at("");
  const auto survey_with = [](Args head) {
    return [head](SandboxProcess& s) {
      Args args = head;
      for (auto& a : spokeSurvey(s)) args.push_back(a);
      return args;
    };
  };
  const auto controller = [](const Json& change) {
    return [change](Json& scenario) {
      for (const auto& [k, v] : change.items()) scenario["controller"][k] = v;
    };
  };
  const Program S = Program::Survey;
  return {
      {"unknown option", S,
       [](SandboxProcess&) {
         return Args{"--bogus", "natgw"};
       }},
      {"unknown sub-command", S, [](SandboxProcess&) { return Args{"explode"}; }},
      {"option without its value", S,
       [](SandboxProcess&) {
         return Args{"natgw", "--vpc"};
       }},
      {"required option missing",
       S,
       [](SandboxProcess&) {
         return Args{"--vpc", kSpokeVpc, "--region", "us-east-1", "natgw"};
       },
       {},
       {},
       {},
       true},
      {"spoke without its controller options", S, [](SandboxProcess&) { return Args{"spoke"}; }},
      {"role that is not an ARN",
       S,
       survey_with({"--vpc", kSpokeVpc, "--region", "us-east-1", "--assume_role", "not-an-arn", "--output_test_config",
                    "out.json"}),
       {},
       {},
       {},
       true},
      {"output below a regular file",
       S,
       survey_with({"--vpc", kSpokeVpc, "--region", "us-east-1", "--assume_role", kSurveyRole, "--output_test_config",
                    "blocker/out.json"}),
       {},
       {{"blocker", "a file\n"}},
       {},
       true},
      {"output that cannot be written",
       S,
       survey_with({"--vpc", kSpokeVpc, "--region", "us-east-1", "--assume_role", kSurveyRole, "--output_test_config",
                    "/proc/qvn-out.json"}),
       {},
       {},
       {},
       true},
      {"controller with nothing listening", S, spoke_at("127.0.0.1:9")},
      {"controller speaking plain HTTP", S,
       spoke_at(sandbox.get("AWS_ENDPOINT_URL").substr(std::string("http://").size()))},
      {"controller refusing the gateway list",
       S,
       spoke,
       {},
       {},
       controller({{"list_error", "Internal server error: database unavailable"}}),
       false,
       "",
       true},
      {"controller answering gateway records of the wrong types",
       S,
       spoke,
       {},
       {},
       controller(
           {{"gateways",
             {{{"gw_name", "spoke1"}, {"private_ip", 12}, {"gw_subnet_id", nullptr}, {"public_subnet", {1, 2}}}}}}),
       false,
       "",
       true},
  };
}

std::vector<BadInput> deployRows() {
  const auto plain = [](SandboxProcess&) { return Args{}; };
  const auto good = spokeTestConfig(2);
  const auto changed = [good](const std::function<void(nlohmann::ordered_json&)>& change) {
    auto config = good;
    change(config);
    return config.dump(2);
  };
  const auto config = [](const std::string& text) {
    return std::vector<std::pair<std::string, std::string>>{{"in.json", text}};
  };
  const auto option = [](Args extra) { return [extra](SandboxProcess&) { return extra; }; };
  const Program D = Program::Deploy;
  // A test configuration refused before any session is opened, with one
  // line after the banner.
  const auto refused = [plain](const std::string& name, const std::string& text, const std::string& message) {
    BadInput row{name, Program::Deploy, plain, {}, {{"in.json", text}}, {}, false, message};
    row.before_aws = true;
    return row;
  };
  const std::string nul_inside = std::string("[{\"gw_name\": \"a\0b\"}]", 21);
  std::string huge(65u << 20, ' ');
  huge += good.dump();
  return {
      // The test configuration.
      refused("test configuration that is not JSON", "[{\"gw_subnet_id\": ", "in.json: "),
      refused("test configuration that is an empty file", "", "in.json: "),
      refused("test configuration that is not an array", "{}", "in.json: "),
      refused("test configuration without an entry", "[]", "in.json: the test configuration has no entry"),
      refused("test configuration with a NUL byte", nul_inside, "in.json: "),
      refused("test configuration that is not UTF-8", "[{\"gw_name\": \"\xff\xfe\"}]", "in.json: "),
      refused("test configuration nested too deep", std::string(100000, '['), "in.json: nested deeper than"),
      refused("test configuration too large", huge, "in.json: "),
      refused("entry that is not an object", changed([](auto& c) { c[1] = "x"; }),
              "in.json: entry 2: is not a JSON object"),
      refused("member missing", changed([](auto& c) { c[1].erase("gw_private_ip"); }),
              "in.json: entry 2: member \"gw_private_ip\" is missing"),
      refused("member of the wrong type", changed([](auto& c) { c[0]["private_subnet_id"] = 7; }),
              "in.json: entry 1: member \"private_subnet_id\" is not a string"),
      refused("number beyond any double", "[{\"gw_name\": \"spoke-0\", \"gw_private_ip\": 1e999}]", "in.json: "),
      refused("gateway subnet shared by two entries",
              changed([](auto& c) { c[1]["gw_subnet_id"] = c[0]["gw_subnet_id"]; }),
              "in.json: entry 2: member \"gw_subnet_id\": " + extraSubnetId('e', 0) +
                  " is also the gateway subnet of entry 1"),
      {"gateway subnet in another VPC",
       D,
       plain,
       {},
       config(changed([](auto& c) { c[1]["gw_subnet_id"] = "subnet-0ddd0000000000001"; })),
       {},
       false,
       "is in vpc-0ddd0000000000001, not in " + kDeployVpc},
      {"gateway subnet that does not exist",
       D,
       plain,
       {},
       config(changed([](auto& c) { c[0]["gw_subnet_id"] = "subnet-0fff0000000000009"; })),
       {},
       false,
       "cannot find subnet subnet-0fff0000000000009"},
      {"test configuration that does not exist",
       D,
       option({"--test_config", "nosuch.json", "--output_test_config", "out.json"}),
       {},
       {},
       {},
       true},
      {"test configuration that is a folder",
       D,
       option({"--test_config", ".", "--output_test_config", "out.json"}),
       {},
       {},
       {},
       true},
      {"revert with a test configuration that is not JSON",
       D,
       option({"--revert", "--test_config", "in.json", "--region", "us-east-1"}),
       {},
       config("[{"),
       {},
       true,
       "in.json: "},
      // The command line.
      {"unknown option", D, option({"--bogus"})},
      {"option without its value", D, option({"--key_name"})},
      {"deployment without an output",
       D,
       option({"--test_config", "in.json"}),
       {},
       {},
       {},
       true,
       "--output_test_config"},
      {"tag pair left incomplete",
       D,
       option({"--tag_resource", "owner,me,team"}),
       {},
       {},
       {},
       false,
       "incomplete tag_resource pair"},
      {"role that is not an ARN", D, option({"--assume_role", "not-an-arn"})},
      {"workflow account that is not a number", D, option({"--workflow_account_role", "runner,twelve,us-east-1"})},
      {"region that is not a region", D, option({"--region", "us-east-1/../../x"})},
      // The output path.
      {"output below a regular file",
       D,
       option({"--output_test_config", "blocker/out.json"}),
       {},
       {{"blocker", "a file\n"}}},
      {"output that cannot be written", D, option({"--output_test_config", "/proc/qvn-out.json"})},
      {"output that is a folder", D, option({"--output_test_config", "."})},
  };
}

TEST_F(BadInputTable, EveryKindEndsWithOneClearLineAndChangesNothing) {
  std::vector<BadInput> rows = surveyRows(sandbox());
  for (Program program : {Program::Survey, Program::Deploy})
    for (auto& row : awsRows(program, sandbox())) {
      if (program == Program::Survey) {
        const auto tail = row.tail;
        row.tail = [tail](SandboxProcess& s) {
          Args args = tail(s);
          for (auto& a : spokeSurvey(s)) args.push_back(a);
          return args;
        };
      }
      rows.push_back(row);
    }
  for (auto& row : deployRows()) rows.push_back(row);
  EXPECT_GE(rows.size(), 60u);

  // Without the bad input both runs succeed: each row fails for its own reason.
  for (const BadInput& good :
       {BadInput{"good input", Program::Survey, [](SandboxProcess& s) { return spokeSurvey(s); }},
        BadInput{"good input", Program::Deploy, [](SandboxProcess&) { return Args{}; }}}) {
    const ProcessResult r = run(good);
    EXPECT_EQ(r.status, 0) << programName(good.program) << "\n" << r.err;
  }
  std::size_t logged = 0;
  for (const auto& row : rows) logged += check(row) ? 1 : 0;
  EXPECT_GE(logged, 25u) << "rows whose run set up its log and ended with an error line";
}

}  // namespace
}  // namespace qvn::e2e
