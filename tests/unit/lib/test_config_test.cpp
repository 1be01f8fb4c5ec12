#include "lib/test_config.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace qvn {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

std::string read_text(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void write_text(const fs::path& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

class TestConfigFiles : public testing::Test {
 protected:
  void SetUp() override {
    folder = fs::temp_directory_path() / ("qvn-config-" + std::to_string(::getpid()) + "-" +
                                          testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(folder);
    fs::create_directories(folder);
  }
  void TearDown() override { fs::remove_all(folder); }

  fs::path folder;
};

Json spoke_entry() {
  // Members set in an order other than the stored one would be.
  Json entry = Json::object();
  entry["gw_name"] = "spoke-1";
  entry["gw_private_ip"] = "10.20.0.10";
  entry["gw_subnet_id"] = "subnet-0a";
  entry["gw_subnet_cidr"] = "10.20.0.0/24";
  entry["private_subnet_id"] = "subnet-0b";
  entry["private_subnet_cidr"] = "10.20.30.64/26";
  entry["private_subnet_gw_ip"] = "10.20.30.65";
  return entry;
}

// ------------------------------------------------------------- serialised form

TEST(TestConfigForm, EmptyArrayIsBracketsAndOneNewline) {
  EXPECT_EQ(TestConfig().dump(), "[]\n");
  EXPECT_EQ(TestConfig().text(), "[]");
}

TEST(TestConfigForm, IndentTwoCommasAndStoredOrder) {
  TestConfig config;
  Json entry = Json::object();
  entry["zeta"] = "1";
  entry["alpha"] = "2";
  config.append(entry);
  config.append(Json::object({{"b", "x"}}));
  EXPECT_EQ(config.dump(),
            "[\n"
            "  {\n"
            "    \"zeta\": \"1\",\n"
            "    \"alpha\": \"2\"\n"
            "  },\n"
            "  {\n"
            "    \"b\": \"x\"\n"
            "  }\n"
            "]\n");
}

TEST(TestConfigForm, NonAsciiIsEscaped) {
  TestConfig config;
  config.append(Json::object({{"gw_name", "caf\u00e9 \u65e5 \U0001F600 \x7f"}}));
  std::string text = config.dump();
  EXPECT_NE(text.find(R"("caf\u00e9 \u65e5 \ud83d\ude00 \u007f")"), std::string::npos) << text;
  for (unsigned char c : text) EXPECT_LT(c, 0x80);
}

TEST(TestConfigForm, ControlCharactersAreEscaped) {
  TestConfig config;
  config.append(Json::object({{"k", "a\"b\\c\nd\te\x01"}}));
  EXPECT_NE(config.dump().find(R"("a\"b\\c\nd\te\u0001")"), std::string::npos);
}

TEST(TestConfigForm, InvalidUtf8IsAClearErrorNotACrash) {
  TestConfig config(Json::array(), "out.config");
  config.append(Json::object({{"k", std::string("\xff\xfe")}}));
  try {
    config.dump();
    FAIL() << "serialised invalid UTF-8";
  } catch (const TestConfigError& error) {
    EXPECT_EQ(std::string(error.what()).rfind("out.config: cannot serialise: ", 0), 0u) << error.what();
  }
}

// ------------------------------------------------------------------ round trip

TEST_F(TestConfigFiles, RoundTripKeepsOrderUnknownMembersAndText) {
  std::string original =
      "[\n"
      "  {\n"
      "    \"nat_gw_id\": \"nat-1\",\n"
      "    \"custom_note\": \"kept \\u00e9\",\n"
      "    \"gw_private_ip\": \"10.0.0.5\",\n"
      "    \"extra\": {\n"
      "      \"z\": [],\n"
      "      \"a\": 1\n"
      "    },\n"
      "    \"private_subnet_id\": \"\"\n"
      "  }\n"
      "]\n";
  write_text(folder / "in.config", original);
  auto config = TestConfig::read((folder / "in.config").string());
  config.write((folder / "out.config").string());
  EXPECT_EQ(read_text(folder / "out.config"), original);
}

TEST_F(TestConfigFiles, AddedMembersGoAfterExistingOnesAndReplaceInPlace) {
  TestConfig config;
  config.append(spoke_entry());
  auto entry = config.entry(0);
  entry.set("ec2_ip", "54.1.2.3");
  entry.set("ec2_2nd_private_ip", "10.20.30.70");
  entry.set("gw_name", "renamed");
  std::vector<std::string> names;
  for (auto& [name, value] : config.json()[0].items()) names.push_back(name);
  EXPECT_EQ(names,
            (std::vector<std::string>{"gw_name", "gw_private_ip", "gw_subnet_id", "gw_subnet_cidr", "private_subnet_id",
                                      "private_subnet_cidr", "private_subnet_gw_ip", "ec2_ip", "ec2_2nd_private_ip"}));
  EXPECT_EQ(config.json()[0]["gw_name"], "renamed");
}

TEST_F(TestConfigFiles, WriteReplacesWholeAndLeavesNoTemporary) {
  auto path = (folder / "subnet.config").string();
  write_text(path, std::string(5000, 'x'));
  TestConfig().write(path);
  EXPECT_EQ(read_text(path), "[]\n");
  int files = 0;
  for (auto& item : fs::directory_iterator(folder)) {
    (void)item;
    ++files;
  }
  EXPECT_EQ(files, 1);
}

TEST_F(TestConfigFiles, NewFileIsNotPrivateOnly) {
  auto path = (folder / "new.config").string();
  mode_t old_mask = ::umask(022);
  TestConfig().write(path);
  ::umask(old_mask);
  struct stat info {};
  ASSERT_EQ(::stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0644u);
}

TEST_F(TestConfigFiles, ReplacedFileKeepsModeAndLinksAreFollowed) {
  auto real = folder / "real.config";
  write_text(real, "old");
  ASSERT_EQ(::chmod(real.c_str(), 0600), 0);
  fs::create_symlink("real.config", folder / "link.config");
  TestConfig().write((folder / "link.config").string());
  EXPECT_TRUE(fs::is_symlink(folder / "link.config"));
  EXPECT_EQ(read_text(real), "[]\n");
  struct stat info {};
  ASSERT_EQ(::stat(real.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
}

// An output that is a pipe to another program, or /dev/null, is written
// into: it is checked without being opened and stays what it was.
TEST_F(TestConfigFiles, AFifoOutputStaysAFifoAndItsReaderGetsTheDocument) {
  const auto fifo = folder / "deployed.config";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  TestConfig::prepare_write(fifo.string());  // would wait for a reader if it opened the FIFO
  std::string received;
  std::thread reader([&] { received = read_text(fifo); });
  TestConfig config;
  config.append(spoke_entry());
  config.write(fifo.string());
  reader.join();
  EXPECT_EQ(received, config.dump());
  EXPECT_TRUE(fs::is_fifo(fifo));
  EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);

  TestConfig::prepare_write("/dev/null");
  config.write("/dev/null");
  EXPECT_TRUE(fs::is_character_file("/dev/null"));
}

TEST_F(TestConfigFiles, FailedWriteKeepsTheOldFile) {
  auto path = (folder / "missing-folder" / "out.config").string();
  try {
    TestConfig().write(path);
    FAIL() << "wrote into a missing folder";
  } catch (const TestConfigError& error) {
    EXPECT_EQ(std::string(error.what()), path + ": cannot write: No such file or directory");
  }

  EXPECT_THROW(TestConfig().write(""), TestConfigError);
  EXPECT_THROW(TestConfig::read(""), TestConfigError);

  // A target that cannot be replaced (a non-empty folder) stays as it was,
  // and the temporary file is removed.
  auto busy = folder / "busy";
  fs::create_directories(busy / "inside");
  EXPECT_THROW(TestConfig().write(busy.string()), TestConfigError);
  EXPECT_TRUE(fs::is_directory(busy / "inside"));
  int files = 0;
  for (auto& item : fs::directory_iterator(folder)) {
    (void)item;
    ++files;
  }
  EXPECT_EQ(files, 1);
}

TEST_F(TestConfigFiles, PrepareWriteMakesFoldersRefusesWhatCannotBeWrittenAndLeavesNoTrace) {
  // Missing folders are made; nothing is left in them; an existing file is untouched.
  const auto nested = folder / "a" / "b" / "out.config";
  TestConfig::prepare_write(nested.string());
  EXPECT_TRUE(fs::is_directory(folder / "a" / "b"));
  EXPECT_TRUE(fs::is_empty(folder / "a" / "b"));
  write_text(nested, "kept");
  TestConfig::prepare_write(nested.string());
  EXPECT_EQ(read_text(nested), "kept");
  EXPECT_EQ(std::distance(fs::directory_iterator(folder / "a" / "b"), fs::directory_iterator()), 1);

  // A folder in the way, a file where a folder should be, a folder that
  // takes no files, an empty path: each is refused with the path and the reason.
  write_text(folder / "blocker", "a file");
  const std::vector<std::pair<std::string, std::string>> refused = {
      {folder.string(), "Is a directory"},
      {(folder / "blocker" / "out.config").string(), "Not a directory"},
      {"/proc/qvn-out.config", ""},
  };
  for (const auto& [path, reason] : refused) {
    try {
      TestConfig::prepare_write(path);
      ADD_FAILURE() << "accepted " << path;
    } catch (const TestConfigError& error) {
      const std::string what = error.what();
      EXPECT_EQ(what.rfind(path + ": cannot write: ", 0), 0u) << what;
      EXPECT_NE(what.find(reason), std::string::npos) << what;
    }
  }
  EXPECT_THROW(TestConfig::prepare_write(""), TestConfigError);
  EXPECT_EQ(read_text(folder / "blocker"), "a file");
}

// ---------------------------------------------------------------------- reading

TEST_F(TestConfigFiles, ReadFailuresNameTheFile) {
  auto path = (folder / "subnet.config").string();
  auto message_of = [&](const std::string& text) -> std::string {
    write_text(path, text);
    try {
      TestConfig::read(path);
    } catch (const TestConfigError& error) {
      return error.what();
    }
    return "no error";
  };
  EXPECT_EQ(message_of("{\"a\": 1}"), path + ": top level is not a JSON array (found object)");
  EXPECT_EQ(message_of("").rfind(path + ": not valid JSON: ", 0), 0u);
  EXPECT_EQ(message_of("[1,]").rfind(path + ": not valid JSON: ", 0), 0u);
  EXPECT_EQ(message_of("[] []").rfind(path + ": not valid JSON: ", 0), 0u);
  EXPECT_EQ(message_of("[10.0E2123861131996504439]").rfind(path + ": not valid JSON: ", 0), 0u);
  EXPECT_EQ(message_of("[]"), "no error");
  EXPECT_EQ(message_of("\n[\n]\n"), "no error");

  try {
    TestConfig::read(folder.string());
    FAIL() << "read a folder";
  } catch (const TestConfigError& error) {
    EXPECT_EQ(std::string(error.what()), folder.string() + ": cannot read: Is a directory");
  }

  try {
    TestConfig::read((folder / "absent.config").string());
    FAIL();
  } catch (const TestConfigError& error) {
    EXPECT_EQ(std::string(error.what()),
              (folder / "absent.config").string() + ": cannot read: No such file or directory");
  }
}

TEST_F(TestConfigFiles, TooDeepOrTooLargeDocumentsAreRefusedWithoutACrash) {
  auto path = (folder / "subnet.config").string();
  auto message_of = [&](const std::string& text) -> std::string {
    write_text(path, text);
    try {
      TestConfig::read(path).dump();
    } catch (const TestConfigError& error) {
      return error.what();
    }
    return "no error";
  };
  // Deep enough to overflow the stack of a recursive writer.
  const std::string deep = std::string(200000, '[') + std::string(200000, ']');
  EXPECT_EQ(message_of(deep), path + ": nested deeper than 64 levels, not a test configuration");
  EXPECT_EQ(message_of(std::string(200000, '[')), path + ": nested deeper than 64 levels, not a test configuration");
  // Brackets inside strings do not count; 64 levels still read.
  EXPECT_EQ(message_of("[{\"a\": \"" + std::string(500, '[') + "\\\"[\"}]"), "no error");
  EXPECT_EQ(message_of(std::string(63, '[') + "{}" + std::string(63, ']')), "no error");

  std::string huge = "[\"";
  huge.append(65u * 1024 * 1024, 'x');
  huge += "\"]";
  EXPECT_EQ(message_of(huge), path + ": larger than 64 MiB, not a test configuration");
}

// ------------------------------------------------------------------- validation

class TestConfigValidation : public testing::Test {
 protected:
  TestConfig config{Json::array(), "subnet.config"};

  std::string failure(const std::function<void()>& action) {
    try {
      action();
    } catch (const TestConfigError& error) {
      return error.what();
    }
    return "no error";
  }
};

TEST_F(TestConfigValidation, MissingOrMistypedMemberNamesFileEntryAndMember) {
  config.append(spoke_entry());
  Json second = spoke_entry();
  second.erase("gw_private_ip");
  second["private_subnet_id"] = 42;
  config.append(second);

  EXPECT_EQ(failure([&] { config.entry(1).string("gw_private_ip"); }),
            "subnet.config: entry 2: member \"gw_private_ip\" is missing");
  EXPECT_EQ(failure([&] { config.entry(1).string("private_subnet_id"); }),
            "subnet.config: entry 2: member \"private_subnet_id\" is not a string (found number)");
  EXPECT_EQ(failure([&] { config.entry(1).optional_string("private_subnet_id"); }),
            "subnet.config: entry 2: member \"private_subnet_id\" is not a string (found number)");
  EXPECT_FALSE(config.entry(1).optional_string("nat_gw_id").has_value());
  EXPECT_EQ(config.entry(0).string("gw_private_ip"), "10.20.0.10");
}

TEST_F(TestConfigValidation, WholeDocumentCheckStopsAtFirstBadEntry) {
  config.append(spoke_entry());
  config.append(Json::object({{"gw_subnet_id", "subnet-1"}}));
  config.append(Json::object());
  EXPECT_EQ(failure([&] {
              config.require_strings({"gw_subnet_id", "private_subnet_id"});
            }),
            "subnet.config: entry 2: member \"private_subnet_id\" is missing");
  TestConfig empty;
  EXPECT_EQ(failure([&] { empty.require_strings({"gw_subnet_id"}); }), "no error");
}

TEST_F(TestConfigValidation, NonObjectAndAbsentEntries) {
  config.append(spoke_entry());
  config.json().push_back("not an entry");
  EXPECT_EQ(failure([&] { config.entry(1); }), "subnet.config: entry 2: is not a JSON object (found string)");
  EXPECT_EQ(failure([&] { config.entries(); }), "subnet.config: entry 2: is not a JSON object (found string)");
  EXPECT_EQ(failure([&] { config.entry(2); }), "subnet.config: entry 3 does not exist (2 entries)");
  EXPECT_EQ(failure([&] { config.append(Json::array()); }),
            "subnet.config: a new entry must be a JSON object (found array)");
}

TEST_F(TestConfigValidation, AddressAndNetworkMembersMustParse) {
  Json entry = spoke_entry();
  entry["private_subnet_cidr"] = "10.20.30.64/33";
  entry["gw_private_ip"] = "10.20.0.300";
  config.append(entry);
  EXPECT_EQ(failure([&] { config.entry(0).network("private_subnet_cidr"); }),
            "subnet.config: entry 1: member \"private_subnet_cidr\" is not an IPv4 network: "
            "\"10.20.30.64/33\"");
  EXPECT_EQ(failure([&] { config.entry(0).address("gw_private_ip"); }),
            "subnet.config: entry 1: member \"gw_private_ip\" is not an IPv4 address: "
            "\"10.20.0.300\"");
  EXPECT_EQ(config.entry(0).network("gw_subnet_cidr").to_string(), "10.20.0.0/24");
  EXPECT_EQ(config.entry(0).address("private_subnet_gw_ip").to_string(), "10.20.30.65");
}

}  // namespace
}  // namespace qvn
