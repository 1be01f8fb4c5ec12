#pragma once
// Pieces both transports share when they take an answer apart.
#include <string>

namespace qvn::http {

// `text` without leading and trailing blanks, tabs and line ends (a header's
// name or value).
std::string trim_field(const std::string& text);

// Where a download to `destination` is written until it is whole: beside it,
// under a random name ending in ".part-" and 16 hex digits.
std::string partial_download_name(const std::string& destination);

}  // namespace qvn::http
