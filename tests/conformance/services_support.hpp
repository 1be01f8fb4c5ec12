#pragma once
// Shared by the service conformance tests: the golden fixtures and a sender
// that records what the typed clients hand it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <deque>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "aws/json_operation.hpp"
#include "aws/operation.hpp"

namespace qvn::aws::testing {

using Json = nlohmann::ordered_json;

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read fixture " + path);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

inline std::string fixture_path(const std::string& relative) { return std::string(QVN_FIXTURES_DIR) + "/" + relative; }

inline const Json& golden_requests() {
  static const Json doc = Json::parse(read_file(fixture_path("requests.json")));
  return doc;
}

inline std::vector<Json> golden_cases(const std::string& service) {
  std::vector<Json> out;
  for (const auto& c : golden_requests()["cases"]) {
    if (c["service"] == service) out.push_back(c);
  }
  return out;
}

inline const Json& golden_case(const std::string& id) {
  for (const auto& c : golden_requests()["cases"]) {
    if (c["id"] == id) return c;
  }
  throw std::runtime_error("no golden case " + id);
}

// First golden case of an operation: its params make a valid request.
inline const Json& golden_case_for(const std::string& operation) {
  for (const auto& c : golden_requests()["cases"]) {
    if (c["operation"] == operation) return c;
  }
  throw std::runtime_error("no golden case for " + operation);
}

class RecordingSender : public OperationSender {
 public:
  explicit RecordingSender(ServiceId id, std::string region = "us-east-1")
      : id_(std::move(id)), region_(std::move(region)) {}

  // Responses handed out in order; once they run out, `fallback` is used.
  std::deque<OperationResponse> replies;
  OperationResponse fallback{200, {}, ""};
  std::vector<OperationRequest> sent;

  OperationResponse send(const OperationRequest& request) override {
    sent.push_back(request);
    if (replies.empty()) return fallback;
    OperationResponse r = replies.front();
    replies.pop_front();
    return r;
  }
  const ServiceId& service() const override { return id_; }
  const std::string& region() const override { return region_; }

 private:
  ServiceId id_;
  std::string region_;
};

// Runs a golden case's params through the operation table of a client made
// on a RecordingSender; returns what the client handed the sender.
template <class Client, class TableFactory>
std::vector<OperationRequest> send_golden(const Json& c, TableFactory make_table, OperationResponse reply) {
  auto sender = std::make_shared<RecordingSender>(Client::service_id());
  sender->fallback = std::move(reply);
  const auto table = make_table(std::make_shared<Client>(sender));
  for (const auto& op : table) {
    if (op.api_name == c["operation"]) {
      op.invoke(c["params"], Pages::All);
      return sender->sent;
    }
  }
  throw std::runtime_error("no operation " + c["operation"].get<std::string>());
}

using FieldBag = std::multiset<std::pair<std::string, std::string>>;

inline FieldBag to_bag(const HeaderList& fields) { return FieldBag(fields.begin(), fields.end()); }

inline FieldBag golden_bag(const Json& fields) {
  FieldBag bag;
  for (const auto& f : fields) bag.emplace(f[0].get<std::string>(), f[1].get<std::string>());
  return bag;
}

// Timestamps: botocore's parse writes "2024-01-15T12:00:02+00:00" where the
// wire (and so our text) says "2024-01-15T12:00:02.000Z". Reduces both to
// "2024-01-15T12:00:02" plus fractional digits other than zeros.
inline std::string normal_timestamp(const std::string& text) {
  if (text.size() < 19 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':') return text;
  std::string base = text.substr(0, 19);
  std::string rest = text.substr(19);
  std::string fraction;
  if (!rest.empty() && rest[0] == '.') {
    std::size_t i = 1;
    while (i < rest.size() && std::isdigit(static_cast<unsigned char>(rest[i]))) ++i;
    fraction = rest.substr(1, i - 1);
    rest = rest.substr(i);
    while (!fraction.empty() && fraction.back() == '0') fraction.pop_back();
  }
  if (rest != "Z" && rest != "+00:00" && !rest.empty()) return text;
  return base + (fraction.empty() ? "" : "." + fraction);
}

// Compares two JSON values, reading strings that look like UTC timestamps
// as instants. Reports the first difference with its path.
inline ::testing::AssertionResult same_json(const Json& ours, const Json& expected, const std::string& path = "$") {
  if (ours.is_string() && expected.is_string()) {
    if (normal_timestamp(ours.get<std::string>()) == normal_timestamp(expected.get<std::string>())) {
      return ::testing::AssertionSuccess();
    }
  } else if (ours.is_object() && expected.is_object()) {
    for (const auto& [key, value] : expected.items()) {
      if (!ours.contains(key)) return ::testing::AssertionFailure() << path << "." << key << " missing from ours";
    }
    for (const auto& [key, value] : ours.items()) {
      if (!expected.contains(key)) return ::testing::AssertionFailure() << path << "." << key << " not expected";
      auto r = same_json(value, expected[key], path + "." + key);
      if (!r) return r;
    }
    return ::testing::AssertionSuccess();
  } else if (ours.is_array() && expected.is_array()) {
    if (ours.size() != expected.size()) {
      return ::testing::AssertionFailure() << path << ": " << ours.size() << " items, expected " << expected.size();
    }
    for (std::size_t i = 0; i < ours.size(); ++i) {
      auto r = same_json(ours[i], expected[i], path + "[" + std::to_string(i) + "]");
      if (!r) return r;
    }
    return ::testing::AssertionSuccess();
  } else if (ours == expected) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << path << ": ours " << ours.dump() << ", expected " << expected.dump();
}

}  // namespace qvn::aws::testing
