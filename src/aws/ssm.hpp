#pragma once
// The SSM Parameter Store client (JSON 1.1 protocol): get_parameter and
// get_parameters_by_path, the latter following every page unless asked for
// one. A refusal is thrown by the sender as ServiceError; an unreadable
// response throws ResponseParseError.
#include <memory>
#include <optional>
#include <string>

#include "aws/paginator.hpp"
#include "aws/service_client.hpp"
#include "aws/shape_json.hpp"
#include "aws/ssm_model.hpp"
#include "aws/xml.hpp"

namespace qvn::aws {

class SsmClient {
 public:
  static ServiceId service_id();

  explicit SsmClient(std::shared_ptr<OperationSender> sender);
  // A client that sends through a ServiceClient of the session.
  SsmClient(std::shared_ptr<Session> session, std::optional<std::string> region = std::nullopt);

  GetParameterResult get_parameter(const GetParameterRequest& request) const;
  GetParametersByPathResult get_parameters_by_path(const GetParametersByPathRequest& request,
                                                   Pages pages = Pages::All) const;

  OperationSender& sender() const { return *sender_; }

 private:
  template <class Result, class Request>
  Result call(const std::string& operation, const Request& request) const;

  std::shared_ptr<OperationSender> sender_;
};

}  // namespace qvn::aws
