#include "http/http1_answer.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "http/transfer_text.hpp"
#include "http/transport_error.hpp"

namespace qvn::http {
namespace {

using Kind = TransportError::Kind;

constexpr std::size_t kMaxHeaderBytes = 64 * 1024;

bool has_token(const std::string& value, const char* token) {
  std::string lower = value;
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  return lower.find(token) != std::string::npos;
}

// Where a body goes: memory, or (a 2xx with a download file) a temporary
// file that takes the file's name once the body is whole.
class BodySink {
 public:
  BodySink(const HttpRequest& request, long status, std::string& memory) : memory_(memory) {
    if (request.download_file.empty() || status < 200 || status >= 300) return;
    destination_ = request.download_file;
    temporary_ = partial_download_name(destination_);
    file_ = std::fopen(temporary_.c_str(), "wb");
    if (!file_) throw TransportError(Kind::Local, "cannot write " + destination_);
  }
  ~BodySink() {
    if (file_) std::fclose(file_);
    if (!temporary_.empty()) {
      std::error_code ignored;
      std::filesystem::remove(temporary_, ignored);
    }
  }
  BodySink(const BodySink&) = delete;
  BodySink& operator=(const BodySink&) = delete;

  void operator()(const char* data, std::size_t size) {
    if (!file_) {
      memory_.append(data, size);
    } else if (std::fwrite(data, 1, size, file_) != size) {
      throw TransportError(Kind::Local, "cannot write " + destination_);
    }
  }
  void finish() {
    if (!file_) return;
    const bool closed = std::fclose(file_) == 0;
    file_ = nullptr;
    std::error_code error;
    if (closed) std::filesystem::rename(temporary_, destination_, error);
    if (!closed || error) throw TransportError(Kind::Local, "cannot write " + destination_);
    temporary_.clear();
  }

 private:
  std::string& memory_;
  std::string destination_, temporary_;
  std::FILE* file_ = nullptr;
};

void read_exactly(AnswerReader& reader, std::size_t length, BodySink& sink) {
  while (length > 0) {
    const std::size_t got = reader.chunk(length, [&](const char* d, std::size_t n) { sink(d, n); });
    if (got == 0) throw TransportError(Kind::Other, "connection closed inside the body");
    length -= got;
  }
}

std::size_t parse_length(const std::string& text, int base) {
  const std::string digits = trim_field(text.substr(0, text.find(';')));
  char* end = nullptr;
  errno = 0;
  const unsigned long long n = std::strtoull(digits.c_str(), &end, base);
  if (digits.empty() || *end != '\0' || errno != 0 || digits[0] == '-')
    throw TransportError(Kind::Other, "malformed body length: " + text);
  return static_cast<std::size_t>(n);
}

void read_chunked(AnswerReader& reader, BodySink& sink) {
  std::string line;
  for (;;) {
    if (!reader.line(line)) throw TransportError(Kind::Other, "connection closed inside the body");
    const std::size_t size = parse_length(line, 16);
    if (size == 0) break;
    read_exactly(reader, size, sink);
    if (!reader.line(line) || !line.empty()) throw TransportError(Kind::Other, "malformed chunk");
  }
  while (reader.line(line) && !line.empty()) {
  }  // trailers
}

}  // namespace

bool AnswerReader::line(std::string& out) {
  for (;;) {
    const std::size_t end = buffer_.find("\r\n", start_);
    if (end != std::string::npos) {
      out.assign(buffer_, start_, end - start_);
      start_ = end + 2;
      return true;
    }
    if (buffer_.size() - start_ > kMaxHeaderBytes) throw TransportError(Kind::Other, "header line too long");
    if (!fill()) {
      if (start_ == buffer_.size()) return false;
      throw TransportError(Kind::Other, "connection closed inside a header");
    }
  }
}

std::size_t AnswerReader::chunk(std::size_t most, const std::function<void(const char*, std::size_t)>& sink) {
  if (start_ == buffer_.size() && !fill()) return 0;
  const std::size_t n = std::min(most, buffer_.size() - start_);
  sink(buffer_.data() + start_, n);
  start_ += n;
  return n;
}

bool AnswerReader::fill() {
  if (start_ > 0) {
    buffer_.erase(0, start_);
    start_ = 0;
  }
  char block[16384];
  const std::size_t got = source_(block, sizeof block);
  buffer_.append(block, got);
  received_ += got;
  return got > 0;
}

HttpResponse read_answer(AnswerReader& reader, const HttpRequest& request, bool& reusable) {
  HttpResponse response;
  std::string line;
  bool http11 = false;
  do {  // interim 1xx answers come before the real one
    if (!reader.line(line)) throw TransportError(Kind::Other, "Empty reply from server");
    if (!line.starts_with("HTTP/1.") || line.size() < 12)
      throw TransportError(Kind::Other, "malformed status line: " + line.substr(0, 64));
    http11 = line.compare(5, 3, "1.1") == 0;
    response.status = std::strtol(line.c_str() + 9, nullptr, 10);
    response.headers.clear();
    std::size_t header_bytes = 0;
    for (;;) {
      if (!reader.line(line)) throw TransportError(Kind::Other, "connection closed inside the headers");
      if (line.empty()) break;
      header_bytes += line.size();
      if (header_bytes > kMaxHeaderBytes) throw TransportError(Kind::Other, "answer headers too long");
      const std::size_t colon = line.find(':');
      if (colon != std::string::npos)
        response.headers.emplace_back(trim_field(line.substr(0, colon)), trim_field(line.substr(colon + 1)));
    }
  } while (response.status >= 100 && response.status < 200);

  reusable = http11 && !has_token(response.header("Connection"), "close");
  BodySink sink(request, response.status, response.body);
  if (request.method == "HEAD" || response.status == 204 || response.status == 304) {
    // no body
  } else if (has_token(response.header("Transfer-Encoding"), "chunked")) {
    read_chunked(reader, sink);
  } else if (const std::string length = response.header("Content-Length"); !length.empty()) {
    read_exactly(reader, parse_length(length, 10), sink);
  } else {
    reusable = false;  // the body ends with the connection
    while (reader.chunk(SIZE_MAX, [&](const char* d, std::size_t n) { sink(d, n); }) > 0) {
    }
  }
  sink.finish();
  return response;
}

}  // namespace qvn::http
