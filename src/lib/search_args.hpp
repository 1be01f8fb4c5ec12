#pragma once
// What the subnet searches read of subnet_survey's options.
#include <optional>
#include <string>

namespace qvn {

struct SearchArgs {
  std::string vpc;
  std::optional<std::string> s3_bucket;
  std::string backup_folder = "backups";
};

}  // namespace qvn
