#include "lib/file_writer.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace qvn {
namespace {

namespace fs = std::filesystem;

std::string slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void put(const fs::path& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

struct stat lstatOf(const fs::path& path) {
  struct stat info {};
  EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
  return info;
}

mode_t modeOf(const fs::path& path) { return lstatOf(path).st_mode & 07777; }

// Sets the umask for one test and puts the old one back.
class Umask {
 public:
  explicit Umask(mode_t mask) : old_(::umask(mask)) {}
  ~Umask() { ::umask(old_); }

 private:
  mode_t old_;
};

// Reads a FIFO to its end on a thread of its own.
class FifoReader {
 public:
  explicit FifoReader(const fs::path& fifo, std::size_t keep_reading = SIZE_MAX)
      : thread_([this, fifo, keep_reading] {
          const int fd = ::open(fifo.c_str(), O_RDONLY);
          if (fd < 0) return;
          char buffer[4096];
          ssize_t n;
          while (received_.size() < keep_reading && (n = ::read(fd, buffer, sizeof buffer)) > 0)
            received_.append(buffer, static_cast<std::size_t>(n));
          ::close(fd);
        }) {}
  std::string received() {
    if (thread_.joinable()) thread_.join();
    return received_;
  }
  ~FifoReader() {
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::string received_;
  std::thread thread_;
};

class FileWriter : public testing::Test {
 protected:
  void SetUp() override {
    folder = fs::temp_directory_path() / ("qvn-writer-" + std::to_string(::getpid()) + "-" +
                                          testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(folder);
    fs::create_directories(folder);
  }
  void TearDown() override {
    fs::permissions(folder, fs::perms::owner_all, fs::perm_options::add);
    fs::remove_all(folder);
  }

  // Names of the entries in `where` (the test folder by default).
  std::vector<std::string> entries(const fs::path& where = {}) const {
    std::vector<std::string> names;
    for (const auto& item : fs::directory_iterator(where.empty() ? folder : where))
      names.push_back(item.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  // The failure of a write that must fail; empty when it succeeded.
  static std::string failureOf(const fs::path& path, const std::string& bytes, const WriteRules& rules) {
    try {
      writeFile(path.string(), bytes, rules);
    } catch (const FileWriteError& error) {
      return error.what();
    }
    return "";
  }

  fs::path folder;
};

// ------------------------------------------------------------ regular files

TEST_F(FileWriter, ARegularFileIsReplacedWholeByANewFileWithTheCallersMode) {
  const fs::path key = folder / "key.pem";
  const fs::path config = folder / "out.config";
  {
    // Private files get exactly 0600, whatever the umask.
    Umask mask(0277);
    writeFile(key.string(), "first", WriteRules::privateFile());
    EXPECT_EQ(modeOf(key), 0600u);
  }
  Umask mask(022);
  put(config, std::string(5000, 'x'));
  ASSERT_EQ(::chmod(config.c_str(), 0640), 0);
  const ino_t before = lstatOf(config).st_ino;
  std::ifstream reader_of_old(config, std::ios::binary);  // opened before the write

  writeFile(config.string(), "[]\n", WriteRules::document());
  EXPECT_EQ(slurp(config), "[]\n");
  EXPECT_NE(lstatOf(config).st_ino, before) << "rewritten in place instead of replaced";
  EXPECT_EQ(modeOf(config), 0640u) << "a replaced document keeps its mode";
  std::string old((std::istreambuf_iterator<char>(reader_of_old)), {});
  EXPECT_EQ(old, std::string(5000, 'x')) << "a reader of the old file saw the new one";

  // A new document: 0644 less the umask. A private file replacing a readable one: 0600.
  writeFile((folder / "new.config").string(), "[]\n", WriteRules::document());
  EXPECT_EQ(modeOf(folder / "new.config"), 0644u);
  ASSERT_EQ(::chmod(key.c_str(), 0644), 0);
  writeFile(key.string(), "second", WriteRules::privateFile());
  EXPECT_EQ(modeOf(key), 0600u);
  EXPECT_EQ(slurp(key), "second");
  EXPECT_EQ(entries(), (std::vector<std::string>{"key.pem", "new.config", "out.config"}));
}

TEST_F(FileWriter, EmptyContentAndNamesAtTheLengthLimitAreWritten) {
  const fs::path empty = folder / "empty";
  put(empty, "something");
  writeFile(empty.string(), "", WriteRules::document());
  EXPECT_EQ(fs::file_size(empty), 0u);
  // The temporary's name must fit too.
  const fs::path longest = folder / std::string(255, 'n');
  writeFile(longest.string(), "long", WriteRules::privateFile());
  EXPECT_EQ(slurp(longest), "long");
  EXPECT_EQ(entries().size(), 2u);
}

TEST_F(FileWriter, ConcurrentWritersLeaveOneWholeVersionAndNoTemporary) {
  const fs::path target = folder / "shared.config";
  std::vector<std::thread> writers;
  for (int i = 0; i < 8; ++i)
    writers.emplace_back([&, i] {
      for (int round = 0; round < 20; ++round)
        writeFile(target.string(), std::string(20000, static_cast<char>('a' + i)), WriteRules::document());
    });
  for (auto& w : writers) w.join();
  const std::string last = slurp(target);
  ASSERT_EQ(last.size(), 20000u);
  EXPECT_EQ(last.find_first_not_of(last.front()), std::string::npos) << "two writers mixed in one file";
  EXPECT_EQ(entries(), (std::vector<std::string>{"shared.config"}));
}

// ----------------------------------------------------- FIFOs and devices

TEST_F(FileWriter, AFifoStaysAFifoAndItsReaderReceivesTheBytes) {
  const fs::path fifo = folder / "pipe";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (const auto& rules : {WriteRules::document(), WriteRules::privateFile()}) {
    const std::string bytes = std::string(200000, 'p') + "\n";  // more than a pipe holds
    FifoReader reader(fifo);
    writeFile(fifo.string(), bytes, rules);
    EXPECT_EQ(reader.received(), bytes);
    EXPECT_TRUE(S_ISFIFO(lstatOf(fifo).st_mode));
  }
  EXPECT_EQ(entries(), (std::vector<std::string>{"pipe"}));
}

TEST_F(FileWriter, AFifoReaderThatLeavesEarlyIsAWriteErrorNotTheEndOfTheProcess) {
  const fs::path fifo = folder / "pipe";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  FifoReader reader(fifo, 10);  // reads a little, then closes
  const std::string failure = failureOf(fifo, std::string(1 << 20, 'z'), WriteRules::document());
  EXPECT_EQ(failure, fifo.string() + ": cannot write: Broken pipe");
  sigset_t waiting;
  sigemptyset(&waiting);
  ASSERT_EQ(::sigpending(&waiting), 0);
  EXPECT_FALSE(sigismember(&waiting, SIGPIPE)) << "a SIGPIPE is left to end the process later";
}

TEST_F(FileWriter, DevNullIsWrittenIntoAndStaysADevice) {
  const struct stat before = lstatOf("/dev/null");
  ASSERT_TRUE(S_ISCHR(before.st_mode));
  for (const auto& rules : {WriteRules::document(), WriteRules::privateFile()}) {
    EXPECT_NO_THROW(writeFile("/dev/null", "discarded", rules));
    EXPECT_NO_THROW(checkWritable("/dev/null", rules));
  }
  const struct stat after = lstatOf("/dev/null");
  EXPECT_TRUE(S_ISCHR(after.st_mode));
  EXPECT_EQ(after.st_rdev, before.st_rdev);
  EXPECT_EQ(after.st_mode, before.st_mode);
}

TEST_F(FileWriter, ScratchRulesRefuseSpecialFilesAtOnceAndNothingReplacesASocket) {
  const fs::path fifo = folder / "result.txt";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // No reader: a writer that opened the FIFO would wait forever.
  EXPECT_EQ(failureOf(fifo, "PASS", WriteRules::scratch()),
            fifo.string() + ": cannot write: not a regular file (a FIFO or a device)");
  EXPECT_THROW(checkWritable(fifo.string(), WriteRules::scratch()), FileWriteError);
  EXPECT_TRUE(S_ISFIFO(lstatOf(fifo).st_mode));

  const fs::path socket_path = folder / "sock";
  const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(sock, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(socket_path.string().size(), sizeof address.sun_path);
  std::strcpy(address.sun_path, socket_path.c_str());
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  EXPECT_NE(failureOf(socket_path, "x", WriteRules::document()).find("not a regular file"), std::string::npos);
  EXPECT_TRUE(S_ISSOCK(lstatOf(socket_path).st_mode));
  ::close(sock);
}

// ------------------------------------------------------------ symbolic links

TEST_F(FileWriter, DocumentsFollowLinksToTheFileTheyNameAndTheLinkStays) {
  fs::create_directories(folder / "sub");
  put(folder / "real.config", "old");
  ASSERT_EQ(::chmod((folder / "real.config").c_str(), 0600), 0);
  // A relative link counts from its own folder; chains are followed to the end.
  fs::create_symlink("../real.config", folder / "sub" / "link.config");
  fs::create_symlink("sub/link.config", folder / "chain.config");
  writeFile((folder / "chain.config").string(), "[]\n", WriteRules::document());
  EXPECT_EQ(slurp(folder / "real.config"), "[]\n");
  EXPECT_EQ(modeOf(folder / "real.config"), 0600u);
  EXPECT_TRUE(fs::is_symlink(folder / "chain.config"));
  EXPECT_TRUE(fs::is_symlink(folder / "sub" / "link.config"));

  // A dangling link makes the file it names.
  fs::create_symlink("made.config", folder / "dangling.config");
  writeFile((folder / "dangling.config").string(), "made", WriteRules::document());
  EXPECT_EQ(slurp(folder / "made.config"), "made");
  EXPECT_TRUE(fs::is_symlink(folder / "dangling.config"));

  // A link to a FIFO reaches the FIFO.
  ASSERT_EQ(::mkfifo((folder / "pipe").c_str(), 0600), 0);
  fs::create_symlink("pipe", folder / "to-pipe");
  FifoReader reader(folder / "pipe");
  writeFile((folder / "to-pipe").string(), "through", WriteRules::document());
  EXPECT_EQ(reader.received(), "through");

  // A loop is a failure naming the path, and nothing is made.
  fs::create_symlink("loop-b", folder / "loop-a");
  fs::create_symlink("loop-a", folder / "loop-b");
  EXPECT_EQ(failureOf(folder / "loop-a", "x", WriteRules::document()),
            (folder / "loop-a").string() + ": cannot write: " + std::strerror(ELOOP));
  EXPECT_EQ(entries().size(), 9u);
}

TEST_F(FileWriter, PrivateFilesReplaceALinkAndNeverWriteThroughIt) {
  put(folder / "victim", "precious");
  ASSERT_EQ(::chmod((folder / "victim").c_str(), 0644), 0);
  fs::create_symlink(folder / "victim", folder / "key.pem");
  writeFile((folder / "key.pem").string(), "KEY", WriteRules::privateFile());
  EXPECT_FALSE(fs::is_symlink(folder / "key.pem"));
  EXPECT_EQ(slurp(folder / "key.pem"), "KEY");
  EXPECT_EQ(modeOf(folder / "key.pem"), 0600u);
  EXPECT_EQ(slurp(folder / "victim"), "precious");
  EXPECT_EQ(modeOf(folder / "victim"), 0644u);

  // A link to a FIFO is replaced too: nothing goes into the FIFO.
  ASSERT_EQ(::mkfifo((folder / "pipe").c_str(), 0600), 0);
  const int watch = ::open((folder / "pipe").c_str(), O_RDWR | O_NONBLOCK);  // keeps writers from waiting
  ASSERT_GE(watch, 0);
  fs::create_symlink("pipe", folder / "result.txt");
  writeFile((folder / "result.txt").string(), "PASS", WriteRules::scratch());
  char byte;
  EXPECT_EQ(::read(watch, &byte, 1), -1) << "bytes went through the link";
  ::close(watch);
  EXPECT_EQ(slurp(folder / "result.txt"), "PASS");
}

// ------------------------------------------------------------------ failures

TEST_F(FileWriter, AMissingFolderOrAFolderInTheWayIsOneLineNamingThePath) {
  const fs::path missing = folder / "absent" / "out.config";
  EXPECT_EQ(failureOf(missing, "x", WriteRules::document()),
            missing.string() + ": cannot write: No such file or directory");
  EXPECT_THROW(checkWritable(missing.string(), WriteRules::document()), FileWriteError);

  fs::create_directories(folder / "busy" / "inside");
  EXPECT_EQ(failureOf(folder / "busy", "x", WriteRules::privateFile()),
            (folder / "busy").string() + ": cannot write: Is a directory");
  EXPECT_TRUE(fs::is_directory(folder / "busy" / "inside"));

  put(folder / "file", "a file");
  EXPECT_EQ(failureOf(folder / "file" / "below", "x", WriteRules::document()),
            (folder / "file" / "below").string() + ": cannot write: Not a directory");
  EXPECT_EQ(std::string(FileWriteError("", "the path is empty").what()), "cannot write: the path is empty");
  EXPECT_THROW(writeFile("", "x", WriteRules::document()), FileWriteError);
  EXPECT_EQ(entries(), (std::vector<std::string>{"busy", "file"}));
}

TEST_F(FileWriter, AWriteThatFailsHalfwayLeavesTheOldFileAndNoTemporary) {
  const fs::path target = folder / "out.config";
  put(target, "old content");
  // Files may not grow past 4 KiB for the moment: the write fails after the
  // temporary was made and partly filled.
  struct sigaction ignore {
  }, previous{};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(::sigaction(SIGXFSZ, &ignore, &previous), 0);
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit small = saved;
  small.rlim_cur = 4096;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const std::string failure = failureOf(target, std::string(100000, 'n'), WriteRules::document());
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::sigaction(SIGXFSZ, &previous, nullptr);

  EXPECT_EQ(failure, target.string() + ": cannot write: " + std::strerror(EFBIG));
  EXPECT_EQ(slurp(target), "old content");
  EXPECT_EQ(entries(), (std::vector<std::string>{"out.config"}));
}

TEST_F(FileWriter, AFolderThatTakesNoFilesKeepsTheOldFile) {
  if (::geteuid() == 0) GTEST_SKIP() << "permissions do not bind root";
  put(folder / "out.config", "old");
  fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec);
  EXPECT_EQ(failureOf(folder / "out.config", "new", WriteRules::document()),
            (folder / "out.config").string() + ": cannot write: Permission denied");
  EXPECT_THROW(checkWritable((folder / "out.config").string(), WriteRules::document()), FileWriteError);
  fs::permissions(folder, fs::perms::owner_all);
  EXPECT_EQ(slurp(folder / "out.config"), "old");
}

TEST_F(FileWriter, CheckWritableLeavesNoTraceAndDoesNotOpenAFifo) {
  put(folder / "kept", "kept");
  checkWritable((folder / "kept").string(), WriteRules::document());
  checkWritable((folder / "new").string(), WriteRules::privateFile());
  ASSERT_EQ(::mkfifo((folder / "pipe").c_str(), 0600), 0);
  checkWritable((folder / "pipe").string(), WriteRules::document());  // would wait here if it opened it
  EXPECT_EQ(slurp(folder / "kept"), "kept");
  EXPECT_EQ(entries(), (std::vector<std::string>{"kept", "pipe"}));
}

TEST(FileDescriptorTest, ClosesOnceAndHandsOver) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ::close(fds[1]);
  {
    FileDescriptor first(fds[0]);
    FileDescriptor second(std::move(first));
    EXPECT_FALSE(first.valid());
    EXPECT_EQ(second.get(), fds[0]);
    EXPECT_EQ(second.close(), 0);
    EXPECT_FALSE(second.valid());
    EXPECT_EQ(second.close(), 0);  // nothing left to close
  }
  EXPECT_EQ(::fcntl(fds[0], F_GETFD), -1) << "still open";
}

}  // namespace
}  // namespace qvn
