#pragma once
// The EC2 operations by name, with JSON in and out (see json_operation.hpp).
#include <memory>
#include <vector>

#include "aws/ec2.hpp"
#include "aws/json_operation.hpp"

namespace qvn::aws {

std::vector<JsonOperation> ec2_json_operations(const std::shared_ptr<Ec2Client>& client);

}  // namespace qvn::aws
