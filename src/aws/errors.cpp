#include "aws/errors.hpp"

namespace qvn::aws {

ServiceError::ServiceError(ServiceErrorInfo info, std::string service, std::string operation)
    : AwsError("An error occurred (" + info.code + ") when calling the " + operation +
               " operation: " + (info.message.empty() ? std::string("Unknown") : info.message)),
      info_(std::move(info)),
      service_(std::move(service)),
      operation_(std::move(operation)) {}

std::string http_reason_phrase(long status) {
  switch (status) {
    case 301:
      return "Moved Permanently";
    case 302:
      return "Found";
    case 304:
      return "Not Modified";
    case 307:
      return "Temporary Redirect";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 409:
      return "Conflict";
    case 412:
      return "Precondition Failed";
    case 413:
      return "Payload Too Large";
    case 416:
      return "Requested Range Not Satisfiable";
    case 429:
      return "Too Many Requests";
    case 500:
      return "Internal Server Error";
    case 501:
      return "Not Implemented";
    case 502:
      return "Bad Gateway";
    case 503:
      return "Service Unavailable";
    case 504:
      return "Gateway Timeout";
    default:
      return "";
  }
}

http::HttpResponse send_http(http::HttpTransport& transport, const http::HttpRequest& request) {
  try {
    return transport.send(request);
  } catch (const http::TransportError& error) {
    throw TransportError(error);
  }
}

}  // namespace qvn::aws
