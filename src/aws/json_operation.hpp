#pragma once
// Calling a client operation with JSON in and JSON out, by the operation's
// snake-case name: the table behind the command line (qvn-aws) and the
// conformance tests. Input members are checked strictly (unknown members,
// wrong types and missing required members throw shape::JsonInputError);
// the output carries AWS's member names.
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "aws/paginator.hpp"
#include "aws/shape_json.hpp"

namespace qvn::aws {

struct JsonOperation {
  std::string name;      // "describe_subnets"
  std::string api_name;  // "DescribeSubnets"
  // Sends the request; `pages` matters only to paginated operations.
  std::function<shape::Json(const shape::Json& input, Pages pages)> invoke;
};

// Finds an operation by its snake-case name; nullptr when unknown.
inline const JsonOperation* find_operation(const std::vector<JsonOperation>& table, std::string_view name) {
  for (const auto& op : table) {
    if (op.name == name) return &op;
  }
  return nullptr;
}

// An operation with a result.
template <class Client, class Request, class Result>
JsonOperation json_operation(std::string name, std::string api_name, std::shared_ptr<Client> client,
                             Result (Client::*method)(const Request&) const) {
  return {std::move(name), std::move(api_name), [client = std::move(client), method](const shape::Json& input, Pages) {
            const Request request = shape::from_json_strict<Request>(input);
            if constexpr (std::is_void_v<Result>) {
              ((*client).*method)(request);
              return shape::Json::object();
            } else {
              return shape::to_json(((*client).*method)(request));
            }
          }};
}

// A paginated operation.
template <class Client, class Request, class Result>
JsonOperation json_operation(std::string name, std::string api_name, std::shared_ptr<Client> client,
                             Result (Client::*method)(const Request&, Pages) const) {
  return {std::move(name), std::move(api_name),
          [client = std::move(client), method](const shape::Json& input, Pages pages) {
            const Request request = shape::from_json_strict<Request>(input);
            return shape::to_json(((*client).*method)(request, pages));
          }};
}

}  // namespace qvn::aws
