#pragma once
// The wire protocols of the AWS client, chosen by ServiceId::protocol: what
// a request carries beside its path and query (its body and the protocol's
// headers), and how a refusal's error document is read. Each protocol has a
// file of its own: protocol_query (EC2 and query: EC2, IAM, STS),
// protocol_rest_xml (S3) and protocol_json (SSM).
#include <string>

#include "aws/errors.hpp"
#include "aws/operation.hpp"

namespace qvn::aws {

// The body of the request as its protocol sends it.
std::string wire_body(const ServiceId& service, const OperationRequest& request);

// Adds the protocol's headers (Content-Type, X-Amz-Target) that `headers`
// lacks.
void add_protocol_headers(const ServiceId& service, const OperationRequest& request, HeaderList& headers);

// Reads the error document of a failed response the way the service's
// protocol writes it. Never throws; unknown shapes fall back to the status.
ServiceErrorInfo parse_error_response(Protocol protocol, long status, const HeaderList& headers,
                                      const std::string& body);

}  // namespace qvn::aws
