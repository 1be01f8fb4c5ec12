#include "aws/ssm_json.hpp"

namespace qvn::aws {

std::vector<JsonOperation> ssm_json_operations(const std::shared_ptr<SsmClient>& c) {
  return {
      json_operation("get_parameter", "GetParameter", c, &SsmClient::get_parameter),
      json_operation("get_parameters_by_path", "GetParametersByPath", c, &SsmClient::get_parameters_by_path),
  };
}

}  // namespace qvn::aws
