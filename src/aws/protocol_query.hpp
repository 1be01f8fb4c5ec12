#pragma once
// The EC2 and query wire protocols (EC2, IAM, STS): the operation sent as a
// form, the answer and its errors as XML. S3's error documents are of the
// same XML, so rest-xml reads them here too.
#include <string>

#include "aws/errors.hpp"
#include "aws/operation.hpp"

namespace qvn::aws::query {

// Action=<operation>&Version=<api_version>&<fields>, each form-encoded
// (text::form_encode).
std::string form_body(const ServiceId& service, const OperationRequest& request);

// The form's Content-Type, unless the request carries one.
void add_headers(HeaderList& headers);

// Fills `info` from an XML error document of any wrapper the SDKs read; false
// when `body` is none or names no code.
bool read_error(const std::string& body, ServiceErrorInfo& info);

}  // namespace qvn::aws::query
