#pragma once
// The S3 operations by name, with JSON in and out (see json_operation.hpp).
// upload_file and download_file take the members Filename, Bucket and Key.
#include <memory>
#include <vector>

#include "aws/json_operation.hpp"
#include "aws/s3.hpp"

namespace qvn::aws {

std::vector<JsonOperation> s3_json_operations(const std::shared_ptr<S3Client>& client);

}  // namespace qvn::aws
