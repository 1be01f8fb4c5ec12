#pragma once
// A resource tag, as EC2 and IAM both write it.
#include <optional>
#include <string>
#include <tuple>

#include "aws/shape.hpp"

namespace qvn::aws {

struct Tag {
  std::optional<std::string> Key{};
  std::optional<std::string> Value{};
  static constexpr auto fields() { return std::tuple{QVN_FIELD(Tag, Key), QVN_FIELD(Tag, Value)}; }
};

}  // namespace qvn::aws
