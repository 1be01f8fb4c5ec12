// The HTTP/1.1 answer reader over whatever a server may send: it returns an
// answer or throws TransportError, never more body than arrived, and the
// outcome does not depend on how the bytes were cut into reads.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

#include "fuzz_support.hpp"
#include "http/http1_answer.hpp"
#include "http/transport_error.hpp"

using namespace qvn;

namespace {

struct Outcome {
  std::optional<http::HttpResponse> response;
  bool reusable = false;
};

// Reads `bytes` as the answer to `request`, `piece` bytes per read at most.
Outcome read(const std::string& bytes, const http::HttpRequest& request, std::size_t piece) {
  std::size_t at = 0;
  http::AnswerReader reader([&](char* buffer, std::size_t size) {
    const std::size_t n = std::min({size, piece, bytes.size() - at});
    std::memcpy(buffer, bytes.data() + at, n);
    at += n;
    return n;
  });
  Outcome outcome;
  try {
    outcome.response = http::read_answer(reader, request, outcome.reusable);
  } catch (const http::TransportError& error) {
    fuzz::check(error.kind() == http::TransportError::Kind::Other, "a stream failure of another kind");
  }
  return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  http::HttpRequest request;
  request.method = data[0] & 1 ? "HEAD" : "GET";
  const std::size_t piece = 1 + (data[0] >> 1);
  const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);

  const Outcome whole = read(bytes, request, bytes.size() + 1);
  const Outcome cut = read(bytes, request, piece);
  fuzz::check(whole.response.has_value() == cut.response.has_value(), "the cut changed success");
  if (!whole.response) return 0;
  const http::HttpResponse& a = *whole.response;
  const http::HttpResponse& b = *cut.response;
  fuzz::check(a.status == b.status && a.headers == b.headers && a.body == b.body, "the cut changed the answer");
  fuzz::check(whole.reusable == cut.reusable, "the cut changed the connection's fate");
  fuzz::check(a.body.size() <= bytes.size(), "more body than bytes");
  fuzz::check(a.status < 100 || a.status >= 200, "an interim answer returned");
  if (request.method == "HEAD") fuzz::check(a.body.empty(), "a body for HEAD");
  return 0;
}
