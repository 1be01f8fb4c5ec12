#pragma once
// The IAM operations by name, with JSON in and out (see json_operation.hpp).
#include <memory>
#include <vector>

#include "aws/iam.hpp"
#include "aws/json_operation.hpp"

namespace qvn::aws {

std::vector<JsonOperation> iam_json_operations(const std::shared_ptr<IamClient>& client);

}  // namespace qvn::aws
