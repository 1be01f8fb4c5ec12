#pragma once
// Shared pieces of the fuzz targets: a sender that answers every call with
// the fuzzer's bytes, and a splitter that cuts one input into several fields.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "aws/operation.hpp"

namespace qvn::fuzz {

// Answers every operation with status 200 and `body`.
class EchoSender : public aws::OperationSender {
 public:
  EchoSender(aws::ServiceId id, std::string body) : id_(std::move(id)), body_(std::move(body)) {}
  aws::OperationResponse send(const aws::OperationRequest&) override { return {200, {}, body_}; }
  const aws::ServiceId& service() const override { return id_; }
  const std::string& region() const override { return region_; }

 private:
  aws::ServiceId id_;
  std::string body_;
  std::string region_ = "us-east-1";
};

// The input cut at each byte 0x00 into at most `count` fields (the last one
// takes the rest); missing fields are empty.
inline std::vector<std::string> split_fields(const uint8_t* data, size_t size, size_t count) {
  std::vector<std::string> fields(count);
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  for (size_t i = 0; i + 1 < count && !rest.empty(); ++i) {
    const size_t cut = rest.find('\0');
    fields[i] = std::string(rest.substr(0, cut));
    rest = cut == std::string_view::npos ? std::string_view() : rest.substr(cut + 1);
  }
  fields[count - 1] = std::string(rest);
  return fields;
}

// Aborts (a finding for the fuzzer) when `ok` is false.
inline void check(bool ok, const char* what) {
  if (!ok) {
    __builtin_fprintf(stderr, "fuzz invariant broken: %s\n", what);
    __builtin_trap();
  }
}

}  // namespace qvn::fuzz
