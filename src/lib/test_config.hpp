#pragma once
// The test configuration file: a JSON array with one object (entry) per test
// subnet, written by subnet_survey and read and extended by probe_deploy.
//
// Serialised form, the same for every writer: indent of 2, members in the
// order they were stored (never sorted), characters outside ASCII as \uXXXX
// escapes, "[]" for an empty array, then exactly one "\n". Members a reader
// does not know are kept, in place, through a read/write round trip.
//
// A write replaces the file whole, through the toolkit's file writer
// (lib/file_writer.hpp): the text goes to a temporary file in the same
// folder, which is then renamed over the target, so a reader (or a crash)
// never sees a half-written file. A FIFO or character device at the path
// (a pipe to another program, /dev/null) is written into in place instead.
//
// Entry numbers in messages count as people do: "entry 1" is the first entry
// of the array (position 0). The entry() accessors themselves take the
// position (0-based), like the array they index.
//
// Failures are TestConfigError with one line naming the file, and for member
// checks the entry and member:
//   subnet.config: entry 2: member "gw_private_ip" is missing
#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "lib/ipv4.hpp"

namespace qvn {

class TestConfigError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One entry of a test configuration, seen through its document. It refers to
// the entry in place: changes through it change the document. It stays valid
// while the array keeps its size (append() may move the entries). Threads may
// change different entries at the same time; nothing else is synchronised.
class ConfigEntry {
 public:
  using Json = nlohmann::ordered_json;

  ConfigEntry(Json& entry, std::string source, std::size_t position);

  // 0-based position in the array; number() is position() + 1.
  std::size_t position() const { return position_; }
  std::size_t number() const { return position_ + 1; }

  bool has(std::string_view member) const;

  // The member's text; fails when it is missing or not a string.
  const std::string& string(std::string_view member) const;
  // The member's text, or nothing when it is missing; fails when present but
  // not a string.
  std::optional<std::string> optional_string(std::string_view member) const;
  // The member's text parsed as an address / a CIDR network; fails, naming
  // the member and the bad value, when it does not parse.
  Ipv4Address address(std::string_view member) const;
  Ipv4Network network(std::string_view member) const;

  // Replaces the member's value in place, or appends the member after the
  // existing ones when it is new.
  void set(std::string_view member, std::string value);

  Json& json() { return *entry_; }
  const Json& json() const { return *entry_; }

  // Throws TestConfigError "<source>: entry <number>: <what>".
  [[noreturn]] void fail(std::string_view what) const;

 private:
  Json* entry_;
  std::string source_;
  std::size_t position_;
};

class TestConfig {
 public:
  using Json = nlohmann::ordered_json;

  // An empty configuration ("[]").
  TestConfig() = default;
  // Wraps a document; fails unless it is an array. `source` names the
  // document in messages (normally its file path).
  explicit TestConfig(Json document, std::string source = "test config");

  // Reads and parses a whole file. Fails with the path and the reason when
  // the file cannot be read, is not JSON, or its top level is not an array.
  static TestConfig read(const std::string& path);
  static TestConfig parse(std::string_view text, std::string source);

  // Writes the serialised form to `path`, replacing it whole (see above).
  // A new file gets mode 0644 (less the process umask); a replaced file keeps
  // its mode; a symbolic link is followed (the file it points to is
  // replaced) and stays a link; a FIFO or character device is written into.
  // The folder must exist.
  void write(const std::string& path) const;

  // Makes sure a later write() to `path` can succeed: makes the missing
  // folders and creates (and removes) a file beside it. A program calls it
  // before it does any work whose result would otherwise be lost. An
  // existing file at `path` is left as it is.
  static void prepare_write(const std::string& path);

  // The serialised form, ending with one "\n".
  std::string dump() const;
  // The serialised form without its final newline, as it goes to the log.
  std::string text() const;

  std::size_t size() const { return document_.size(); }
  bool empty() const { return document_.empty(); }

  // The entry at 0-based `position`; fails when there is no such entry or it
  // is not an object.
  ConfigEntry entry(std::size_t position);
  std::vector<ConfigEntry> entries();

  // Appends an entry (an object) at the end.
  void append(Json entry);

  // Checks that every entry is an object holding each of `members` as a
  // string; fails at the first entry that does not.
  void require_strings(const std::vector<std::string>& members);

  const std::string& source() const { return source_; }
  Json& json() { return document_; }
  const Json& json() const { return document_; }

 private:
  Json document_ = Json::array();
  std::string source_ = "test config";
};

// The serialised form of any JSON document, ending with one "\n".
std::string dump_config_json(const nlohmann::ordered_json& document);

}  // namespace qvn
