#pragma once
// Reading an HTTP/1.1 answer off a byte stream: the status line (interim
// 1xx answers skipped), the headers, and the body framed by chunked
// transfer coding, by Content-Length, or by the end of the stream. A 2xx
// body of a request with a download file goes to that file, which appears
// only once the body is whole. Malformed or cut answers are TransportErrors
// of kind Other; a file that cannot be written, of kind Local.
#include <cstddef>
#include <functional>
#include <string>

#include "http/http_transport.hpp"

namespace qvn::http {

// Reads up to `size` bytes into `buffer`; 0 at the end of the stream.
using ByteSource = std::function<std::size_t(char* buffer, std::size_t size)>;

class AnswerReader {
 public:
  explicit AnswerReader(ByteSource source) : source_(std::move(source)) {}

  // True once any byte of an answer has arrived.
  bool received_anything() const { return received_ > 0; }

  // One line without its CRLF; false at the end of the stream before any
  // byte of it.
  bool line(std::string& out);

  // Hands up to `most` bytes to `sink`; 0 at the end of the stream.
  std::size_t chunk(std::size_t most, const std::function<void(const char*, std::size_t)>& sink);

 private:
  bool fill();

  ByteSource source_;
  std::string buffer_;
  std::size_t start_ = 0;
  std::size_t received_ = 0;
};

// Reads one whole answer to `request`. `reusable` tells whether the stream
// may carry another exchange (HTTP/1.1, no "Connection: close", a framed
// body).
HttpResponse read_answer(AnswerReader& reader, const HttpRequest& request, bool& reusable);

}  // namespace qvn::http
