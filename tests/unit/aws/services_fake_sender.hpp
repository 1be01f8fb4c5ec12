#pragma once
// A scripted OperationSender for the service client tests: each call takes
// the next step (an answer or a service error) and records the request.
#include <deque>
#include <fstream>
#include <string>
#include <variant>
#include <vector>

#include "aws/errors.hpp"
#include "aws/operation.hpp"

namespace qvn::aws::testing {

struct Refusal {
  long status;
  std::string code;
  std::string message;
};

class ScriptedSender : public OperationSender {
 public:
  explicit ScriptedSender(ServiceId id) : id_(std::move(id)) {}

  void answer(std::string body, HeaderList headers = {}) {
    steps_.emplace_back(OperationResponse{200, std::move(headers), std::move(body)});
  }
  void refuse(long status, std::string code, std::string message = "refused") {
    steps_.emplace_back(Refusal{status, std::move(code), std::move(message)});
  }
  // Once the script has run out, every call gets this answer.
  void answer_always(std::string body) { fallback_ = std::move(body); }

  std::vector<OperationRequest> sent;

  OperationResponse send(const OperationRequest& request) override {
    sent.push_back(request);
    if (steps_.empty()) {
      if (!fallback_.empty()) return finish(request, OperationResponse{200, {}, fallback_});
      throw std::runtime_error("unexpected call of " + request.operation);
    }
    auto step = steps_.front();
    steps_.pop_front();
    if (const auto* refusal = std::get_if<Refusal>(&step)) {
      ServiceErrorInfo info;
      info.status = refusal->status;
      info.code = refusal->code;
      info.message = refusal->message;
      throw ServiceError(info, id_.name, request.operation);
    }
    return finish(request, std::get<OperationResponse>(step));
  }
  const ServiceId& service() const override { return id_; }
  const std::string& region() const override { return region_; }

 private:
  // Like the real sender, a downloaded body goes to the file.
  static OperationResponse finish(const OperationRequest& request, OperationResponse response) {
    if (!request.download_file.empty()) {
      std::ofstream(request.download_file, std::ios::binary) << response.body;
      response.body.clear();
    }
    return response;
  }

  ServiceId id_;
  std::string region_ = "us-east-1";
  std::deque<std::variant<OperationResponse, Refusal>> steps_;
  std::string fallback_;
};

inline std::string field(const HeaderList& fields, const std::string& name) {
  for (const auto& [k, v] : fields) {
    if (k == name) return v;
  }
  return "<absent>";
}

}  // namespace qvn::aws::testing
