#include "lib/file_writer.hpp"

#include <fcntl.h>
#include <signal.h>  // NOLINT(modernize-deprecated-headers): the POSIX header, for sigset_t, pthread_sigmask and sigpending
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <vector>

namespace qvn {

namespace {

std::string errnoText(int error) { return std::strerror(error); }

[[noreturn]] void fail(const std::string& path, int error) { throw FileWriteError(path, errnoText(error), error); }

// ------------------------------------------------------------------ paths

// The folder part of `path`: "" for a bare name, "/" for a file at the root.
std::string folderOf(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return "";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string nameOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// `name` placed in `folder` ("" is the working folder).
std::string inFolder(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  if (folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

std::string readLink(const std::string& path, const std::string& shown) {
  std::vector<char> buffer(256);
  for (;;) {
    const ssize_t n = ::readlink(path.c_str(), buffer.data(), buffer.size());
    if (n < 0) fail(shown, errno);
    if (static_cast<std::size_t>(n) < buffer.size()) return std::string(buffer.data(), static_cast<std::size_t>(n));
    buffer.resize(buffer.size() * 2);
  }
}

// ---------------------------------------------------------------- signals

// Holds the given signals back on the calling thread while it lives; they
// are delivered when it ends.
class HeldSignals {
 public:
  HeldSignals(std::initializer_list<int> signals) {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : signals) sigaddset(&set, signal);
    held_ = ::pthread_sigmask(SIG_BLOCK, &set, &previous_) == 0;
  }
  ~HeldSignals() {
    if (held_) ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
  }
  HeldSignals(const HeldSignals&) = delete;
  HeldSignals& operator=(const HeldSignals&) = delete;

 private:
  sigset_t previous_;
  bool held_ = false;
};

bool pending(int signal) {
  sigset_t set;
  sigemptyset(&set);
  return ::sigpending(&set) == 0 && sigismember(&set, signal) == 1;
}

// Takes a SIGPIPE that a write on this thread raised, so that a reader who
// went away is a write error and does not end the process.
void discardPipeSignal() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGPIPE);
  const timespec now{0, 0};
  while (::sigtimedwait(&set, nullptr, &now) < 0 && errno == EINTR) {
  }
}

// ---------------------------------------------------------------- writing

// Writes all of `bytes`; 0 or the errno of the failure.
int writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return 0;
}

bool isSpecial(mode_t mode) { return S_ISFIFO(mode) || S_ISCHR(mode); }

// What cannot be written at all, whatever the rules.
void refuseUnwritable(const std::string& path, const struct stat& info, const WriteRules& rules) {
  if (S_ISDIR(info.st_mode)) fail(path, EISDIR);
  if (isSpecial(info.st_mode) && !rules.special_in_place)
    throw FileWriteError(path, "not a regular file (a FIFO or a device)");
  if (S_ISBLK(info.st_mode) || S_ISSOCK(info.st_mode))
    throw FileWriteError(path, "not a regular file, a FIFO or a character device");
}

// Writes into the FIFO or character device at `target` as it stands.
// False when a regular file took its place meanwhile.
bool writeInPlace(const std::string& path, const std::string& target, std::string_view bytes, const WriteRules& rules) {
  const int follow = rules.links == Links::Replace ? O_NOFOLLOW : 0;
  FileDescriptor fd(::open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | follow));
  if (!fd.valid()) fail(path, errno);
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) fail(path, errno);
  if (S_ISREG(info.st_mode)) return false;
  refuseUnwritable(path, info, rules);
  int error = 0;
  {
    const bool pipe_signal_pending = pending(SIGPIPE);
    HeldSignals held({SIGPIPE});
    error = writeAll(fd.get(), bytes);
    if (error == EPIPE && !pipe_signal_pending) discardPipeSignal();
  }
  if (error != 0) fail(path, error);
  if (const int closed = fd.close(); closed != 0) fail(path, closed);
  return true;
}

// A new file beside the target, removed again unless it was renamed.
class Temporary {
 public:
  Temporary(const std::string& shown, const std::string& target, mode_t mode) : shown_(shown) {
    static std::atomic<unsigned> counter{0};
    // Keep the whole name within the 255 bytes a file system allows.
    const std::string base = nameOf(target).substr(0, 160);
    const auto clock = static_cast<unsigned long long>(std::chrono::steady_clock::now().time_since_epoch().count());
    int error = EEXIST;
    for (int attempt = 0; attempt < 100 && error == EEXIST; ++attempt) {
      char unique[64];
      std::snprintf(unique, sizeof unique, ".%d.%u.%llx", static_cast<int>(::getpid()), counter++,
                    clock & 0xffffffffULL);
      name_ = inFolder(folderOf(target), std::string(kTemporaryPrefix) + base + unique);
      fd_ = FileDescriptor(::open(name_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode));
      if (fd_.valid()) return;
      error = errno;
    }
    name_.clear();
    fail(shown_, error);
  }
  ~Temporary() {
    fd_.reset();
    if (!name_.empty()) ::unlink(name_.c_str());
  }
  Temporary(const Temporary&) = delete;
  Temporary& operator=(const Temporary&) = delete;

  int fd() const { return fd_.get(); }
  const std::string& name() const { return name_; }
  // Writes, flushes and closes the file.
  void fill(std::string_view bytes) {
    if (const int error = writeAll(fd_.get(), bytes); error != 0) fail(shown_, error);
    if (::fsync(fd_.get()) != 0) fail(shown_, errno);
    if (const int error = fd_.close(); error != 0) fail(shown_, error);
  }
  // Moves the file to `target`; from then on it is no longer removed.
  void renameTo(const std::string& target) {
    if (::rename(name_.c_str(), target.c_str()) != 0) fail(shown_, errno);
    name_.clear();
  }

 private:
  std::string shown_;
  std::string name_;
  FileDescriptor fd_;
};

// Flushes the folder's entries, so that the rename survives a power cut.
// A file system that cannot flush a folder is not a failure.
void flushFolder(const std::string& path, const std::string& folder) {
  FileDescriptor fd(::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) return;
  if (::fsync(fd.get()) != 0 && errno == EIO) fail(path, EIO);
}

void replaceAtomically(const std::string& path, const std::string& target, std::string_view bytes,
                       const WriteRules& rules, std::optional<mode_t> existing_mode) {
  std::optional<mode_t> final_mode;
  if (rules.exact_mode)
    final_mode = rules.mode;
  else if (rules.keep_mode && existing_mode)
    final_mode = *existing_mode;
  // A mode fixed afterwards starts from owner-only, never wider.
  const mode_t open_mode = final_mode ? 0600 : rules.mode;

  HeldSignals held({SIGINT, SIGTERM, SIGHUP, SIGQUIT});
  Temporary temporary(path, target, open_mode);
  if (final_mode && ::fchmod(temporary.fd(), *final_mode) != 0) fail(path, errno);
  temporary.fill(bytes);
  temporary.renameTo(target);
  flushFolder(path, folderOf(target));
}

}  // namespace

// ---------------------------------------------------------------- public

FileWriteError::FileWriteError(const std::string& path, const std::string& reason, int error)
    : std::runtime_error(path.empty() ? "cannot write: the path is empty" : path + ": cannot write: " + reason),
      path_(path),
      reason_(reason),
      error_(error) {}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
  if (this != &other) {
    reset();
    fd_ = other.release();
  }
  return *this;
}

int FileDescriptor::release() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

void FileDescriptor::reset() { close(); }

int FileDescriptor::close() {
  if (fd_ < 0) return 0;
  const int result = ::close(release());
  // After EINTR the descriptor is gone on Linux: never close it twice.
  return result == 0 || errno == EINTR ? 0 : errno;
}

WriteRules WriteRules::privateFile() {
  WriteRules rules;
  rules.mode = 0600;
  rules.exact_mode = true;
  rules.links = Links::Replace;
  return rules;
}

WriteRules WriteRules::document() {
  WriteRules rules;
  rules.mode = 0644;
  rules.keep_mode = true;
  rules.links = Links::Follow;
  return rules;
}

// A private file that never writes into a FIFO or device found at its path.
WriteRules WriteRules::scratch() {
  WriteRules rules = privateFile();
  rules.special_in_place = false;
  return rules;
}

std::string writeTarget(const std::string& path, const WriteRules& rules) {
  if (path.empty()) throw FileWriteError(path, "the path is empty", ENOENT);
  if (rules.links == Links::Replace) return path;
  std::string current = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat info {};
    if (::lstat(current.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return current;
    const std::string link = readLink(current, path);
    current = !link.empty() && link.front() == '/' ? link : inFolder(folderOf(current), link);
  }
  fail(path, ELOOP);
}

void writeFile(const std::string& path, std::string_view bytes, const WriteRules& rules) {
  const std::string target = writeTarget(path, rules);
  for (;;) {
    struct stat info {};
    const bool exists = ::lstat(target.c_str(), &info) == 0;
    if (!exists && errno != ENOENT) fail(path, errno);
    if (exists) refuseUnwritable(path, info, rules);
    if (exists && isSpecial(info.st_mode)) {
      if (writeInPlace(path, target, bytes, rules)) return;
      continue;  // a regular file took its place: replace that one
    }
    // Left: nothing yet, a regular file, or (when links are replaced) a link.
    std::optional<mode_t> existing_mode;
    if (exists && S_ISREG(info.st_mode)) existing_mode = info.st_mode & 07777;
    replaceAtomically(path, target, bytes, rules, existing_mode);
    return;
  }
}

void checkWritable(const std::string& path, const WriteRules& rules) {
  const std::string target = writeTarget(path, rules);
  struct stat info {};
  if (::lstat(target.c_str(), &info) == 0) {
    refuseUnwritable(path, info, rules);
    if (isSpecial(info.st_mode)) return;
  } else if (errno != ENOENT) {
    fail(path, errno);
  }
  HeldSignals held({SIGINT, SIGTERM, SIGHUP, SIGQUIT});
  const Temporary probe(path, target, 0600);
}

}  // namespace qvn
