#pragma once
// One operation on the wire, as a typed client (EC2, IAM, STS, SSM, S3)
// sees it: the service it belongs to, the request it serialises, the
// response it reads, and the sender that carries one to the other. The
// service client (aws/service_client.hpp) is the real sender; tests give the
// typed clients a fake one.
#include <string>

#include "http/http_transport.hpp"

namespace qvn::aws {

enum class Protocol { Ec2, Query, Json, RestXml };

// What a service is on the wire.
struct ServiceId {
  std::string name;  // endpoint prefix and signing name: "ec2", "iam", "sts", "ssm", "s3"
  Protocol protocol;
  std::string api_version;    // "2016-11-15" (empty for S3 and SSM)
  std::string target_prefix;  // JSON protocol: "AmazonSSM"; empty otherwise
};

using HeaderList = http::HeaderList;

struct OperationRequest {
  std::string operation;  // API name: "DescribeSubnets", "GetObject"
  std::string method = "POST";
  std::string path = "/";  // percent-encoded; for S3 the key part only ("/a%2Bb.txt" or "")
  std::string bucket{};    // S3: put in the host or the path by the endpoint rules
  HeaderList query{};      // decoded name/value pairs; the sender encodes them
  // EC2 and query protocols: the decoded form fields after Action and Version
  // ("SubnetId.1" = "subnet-1", ...). The sender writes the body the SDKs'
  // way: Action=<operation>&Version=<api_version>&<fields>, space as '+',
  // everything but A-Z a-z 0-9 - _ . ~ percent-encoded in upper-case hex,
  // and sets the form Content-Type.
  HeaderList form{};
  HeaderList headers{};  // protocol headers: Content-Type, X-Amz-Target, Content-MD5, ...
  std::string body{};
  std::string upload_file{};    // S3: stream the body from this file instead of `body`
  std::string download_file{};  // S3: stream a 2xx body into this file instead of memory
};

struct OperationResponse {
  long status = 0;
  HeaderList headers;
  std::string body;  // empty when streamed to download_file
  // Case-insensitive header look-up; empty when absent.
  std::string header(const std::string& name) const { return http::find_header(headers, name); }
};

class OperationSender {
 public:
  virtual ~OperationSender() = default;
  // Sends the request (signed, retried as the SDKs do) and returns a 2xx
  // response. Throws ServiceError for an AWS refusal and TransportError when
  // no answer could be had.
  virtual OperationResponse send(const OperationRequest& request) = 0;
  virtual const ServiceId& service() const = 0;
  // The client's region (the signing region may differ, as for IAM).
  virtual const std::string& region() const = 0;
};

}  // namespace qvn::aws
