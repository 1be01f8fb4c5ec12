#pragma once
// The SSM operations by name, with JSON in and out (see json_operation.hpp).
#include <memory>
#include <vector>

#include "aws/json_operation.hpp"
#include "aws/ssm.hpp"

namespace qvn::aws {

std::vector<JsonOperation> ssm_json_operations(const std::shared_ptr<SsmClient>& client);

}  // namespace qvn::aws
