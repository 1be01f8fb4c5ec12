#pragma once
// The one way the toolkit writes a file: the test configurations, private
// keys and result scratch files all go through writeFile.
//
//   writeFile(path, text, WriteRules::document());     // test configuration
//   writeFile(path, key, WriteRules::privateFile());   // 0600 from its first byte
//
// A regular file (or a path where nothing exists yet) is replaced
// atomically: the bytes go to a new temporary file in the same folder
// (created with O_EXCL, named ".qvn-tmp.<name>.<unique>"), which is flushed
// to disk, renamed over the target, and the folder is flushed too. A reader,
// a crash or a signal sees the old file or the new one, never a mix. The
// temporary is removed on every failure path, and SIGINT, SIGTERM, SIGHUP and
// SIGQUIT are held back on the writing thread while it exists; a leftover of
// a killed process is found by its prefix (find -name '.qvn-tmp.*').
//
// What is not a regular file is never replaced:
//   - a FIFO or a character device (/dev/null, a terminal) is written into in
//     place, as a shell redirection would (opening a FIFO waits for its
//     reader), unless the rules refuse special files;
//   - a folder, a block device or a socket is refused.
// A symbolic link is either followed (the file it points to is replaced and
// the link stays) or replaced by the new file itself (nothing is ever
// written through it), as the rules say.
//
// Failures are FileWriteError, one line naming the path the caller gave:
//   "out/deployed.config: cannot write: No such file or directory"
#include <sys/types.h>

#include <stdexcept>
#include <string>
#include <string_view>

namespace qvn {

// The start of every temporary file name.
inline constexpr std::string_view kTemporaryPrefix = ".qvn-tmp.";

class FileWriteError : public std::runtime_error {
 public:
  // `error`: the errno behind the failure, 0 when there is none.
  FileWriteError(const std::string& path, const std::string& reason, int error = 0);
  const std::string& path() const { return path_; }
  const std::string& reason() const { return reason_; }
  int error() const { return error_; }

 private:
  std::string path_;
  std::string reason_;
  int error_;
};

// Owns one open file descriptor and closes it once.
class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() { reset(); }
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept;
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release();
  void reset();
  // Closes now; the errno of a failed close, else 0.
  int close();

 private:
  int fd_ = -1;
};

enum class Links {
  Follow,   // the file a link points to is written; the link stays
  Replace,  // the link itself is replaced; nothing is written through it
};

struct WriteRules {
  // Permission bits of a new file, less the process umask unless exact_mode.
  mode_t mode = 0644;
  // The file gets `mode` exactly, whatever the umask.
  bool exact_mode = false;
  // A replaced regular file keeps its permission bits.
  bool keep_mode = false;
  Links links = Links::Replace;
  // FIFOs and character devices are written in place; false refuses them.
  bool special_in_place = true;

  // Private keys: 0600 from the first byte, links replaced.
  static WriteRules privateFile();
  // Documents a user names (test configurations): 0644 less the umask for a
  // new file, a replaced file keeps its mode, links followed.
  static WriteRules document();
  // Scratch copies in a shared folder: 0600, links replaced, special files
  // refused (a FIFO planted there would otherwise hold the writer forever).
  static WriteRules scratch();
};

// Writes `bytes` to `path` under `rules` (see above). The folder must exist.
void writeFile(const std::string& path, std::string_view bytes, const WriteRules& rules);

// Whether a later writeFile(path, ..., rules) can succeed, checked without
// changing anything that stays: a special file is accepted as it is, a
// folder is refused, otherwise a temporary is made in the target's folder
// and removed. Throws FileWriteError as writeFile would.
void checkWritable(const std::string& path, const WriteRules& rules);

// The path writeFile writes to: `path`, or with Links::Follow the file a
// symbolic link at `path` points to (the link may dangle).
std::string writeTarget(const std::string& path, const WriteRules& rules);

}  // namespace qvn
