#pragma once
// The STS operation of the command line, assume_role, with JSON in and out
// (see json_operation.hpp).
#include <memory>
#include <vector>

#include "aws/json_operation.hpp"
#include "aws/sts.hpp"

namespace qvn::aws {

std::vector<JsonOperation> sts_json_operations(const std::shared_ptr<StsClient>& client);

}  // namespace qvn::aws
