#pragma once
// The JSON wire protocol (SSM): the operation named in X-Amz-Target, bodies
// written as the reference SDK writes them, errors as JSON documents.
#include <nlohmann/json.hpp>

#include <string>

#include "aws/errors.hpp"
#include "aws/operation.hpp"

namespace qvn::aws {

// JSON text as the reference SDK writes request bodies: ", " and ": "
// between members, non-ASCII characters as \u escapes.
std::string sdk_json_text(const nlohmann::ordered_json& value);  // shape::Json

namespace json_protocol {

// X-Amz-Target (<target prefix>.<operation>) and the JSON Content-Type,
// each unless the request carries one.
void add_headers(const ServiceId& service, const OperationRequest& request, HeaderList& headers);

// Fills `info` from a JSON error document (__type or code, message) and the
// x-amzn-query-error header; false when neither names a code.
bool read_error(const std::string& body, const HeaderList& headers, ServiceErrorInfo& info);

// The code alone of "Code:http://internal.amazon.com/..." (x-amzn-ErrorType)
// or "aws.protocoltests#Code".
std::string bare_error_code(std::string type);

}  // namespace json_protocol

}  // namespace qvn::aws
