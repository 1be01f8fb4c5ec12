#pragma once
// Helpers shared by the sandbox service tests (IAM, STS, SSM, S3, ...):
// AwsCall values made from the golden request fixtures or by hand, and XML
// reading of the answers.
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>
#include <pugixml.hpp>

#include "service.hpp"

namespace qvn::sandbox::testing {

inline const char* kAccount = "123456789012";
inline const char* kCallerArn = "arn:aws:iam::123456789012:user/quorvane-ci";

inline const Json& fixture_requests() {
  static const Json all = [] {
    std::ifstream in(std::string(QVN_FIXTURES_DIR) + "/requests.json");
    return Json::parse(in);
  }();
  return all;
}

inline std::string percent_decode(const std::string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size()) {
      out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

// The request of fixture `id` as the server would hand it to a service,
// made by the scenario's long-term user.
inline AwsCall fixture_call(const std::string& id) {
  for (const auto& c : fixture_requests()["cases"]) {
    if (c["id"] != id) continue;
    AwsCall call;
    call.service = c["service"];
    call.region = c["signing"]["region"];
    call.access_key = c["credentials"]["access_key_id"];
    call.account_id = kAccount;
    call.caller_arn = kCallerArn;
    call.method = c["method"];
    call.raw_path = c["path"];
    call.path = percent_decode(call.raw_path);
    if (c.contains("query_fields"))
      for (const auto& f : c["query_fields"]) call.query.emplace_back(f[0], f[1]);
    for (const auto& h : c["headers"]) {
      std::string name = h[0];
      for (auto& ch : name) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
      call.headers[name] = h[1];
    }
    call.body = c["body"].is_string() ? c["body"].get<std::string>() : "";
    if (c.contains("form_fields"))
      for (const auto& f : c["form_fields"]) call.form.emplace_back(f[0], f[1]);
    call.operation = c["operation"];
    call.request_id = "req-" + id;
    return call;
  }
  throw std::runtime_error("no fixture " + id);
}

// A query-protocol call built from decoded form fields.
inline AwsCall query_call(const std::string& service, const std::string& action, Pairs fields = {}) {
  AwsCall call;
  call.service = service;
  call.region = "us-east-1";
  call.access_key = "AKIDEXAMPLE";
  call.account_id = kAccount;
  call.caller_arn = kCallerArn;
  call.method = "POST";
  call.path = call.raw_path = "/";
  call.form = {{"Action", action}, {"Version", service == "iam" ? "2010-05-08" : "2011-06-15"}};
  for (auto& f : fields) call.form.push_back(std::move(f));
  call.operation = action;
  call.request_id = "req-1";
  return call;
}

// Runs the call; an ApiError comes back as its code (empty on success).
inline std::string error_code(Service& service, const AwsCall& call) {
  try {
    service.handle(call);
    return "";
  } catch (const ApiError& e) {
    return e.code;
  }
}

struct Xml {
  pugi::xml_document doc;
  explicit Xml(const std::string& text) {
    auto ok = doc.load_string(text.c_str());
    if (!ok) throw std::runtime_error("bad XML: " + text);
  }
  // Text at an XPath such as "/CreatePolicyResponse/CreatePolicyResult/Policy/Arn".
  std::string at(const std::string& xpath) const {
    auto node = doc.select_node(xpath.c_str()).node();
    return node.text().get();
  }
  std::size_t count(const std::string& xpath) const { return doc.select_nodes(xpath.c_str()).size(); }
};

}  // namespace qvn::sandbox::testing
