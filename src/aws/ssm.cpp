#include "aws/ssm.hpp"

#include <utility>

#include "aws/protocol_json.hpp"
#include "aws/xml.hpp"

namespace qvn::aws {

ServiceId SsmClient::service_id() { return ServiceId{"ssm", Protocol::Json, "", "AmazonSSM"}; }

SsmClient::SsmClient(std::shared_ptr<OperationSender> sender) : sender_(std::move(sender)) {}

template <class Result, class Request>
Result SsmClient::call(const std::string& operation, const Request& request) const {
  OperationRequest op;
  op.operation = operation;
  op.headers = {{"X-Amz-Target", "AmazonSSM." + operation}, {"Content-Type", "application/x-amz-json-1.1"}};
  op.body = sdk_json_text(shape::to_json(request));
  const OperationResponse response = sender_->send(op);
  const shape::Json document = shape::Json::parse(response.body, nullptr, false);
  if (document.is_discarded() || !document.is_object()) {
    throw ResponseParseError(operation + ": the response is not a JSON object");
  }
  return shape::from_json_lenient<Result>(document);
}

GetParameterResult SsmClient::get_parameter(const GetParameterRequest& request) const {
  return call<GetParameterResult>("GetParameter", request);
}

GetParametersByPathResult SsmClient::get_parameters_by_path(const GetParametersByPathRequest& request,
                                                            Pages pages) const {
  return collect_pages(
      request, pages, "GetParametersByPath", &GetParametersByPathRequest::NextToken,
      &GetParametersByPathResult::NextToken, &GetParametersByPathResult::Parameters,
      [&](const GetParametersByPathRequest& r) { return call<GetParametersByPathResult>("GetParametersByPath", r); },
      [](const GetParametersByPathResult& page) { return page.NextToken && !page.NextToken->empty(); });
}

}  // namespace qvn::aws
