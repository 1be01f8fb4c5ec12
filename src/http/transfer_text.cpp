#include "http/transfer_text.hpp"

#include <cstdio>
#include <random>

namespace qvn::http {

std::string trim_field(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

std::string partial_download_name(const std::string& destination) {
  static thread_local std::mt19937_64 random{std::random_device{}()};
  char suffix[32];
  std::snprintf(suffix, sizeof suffix, ".part-%016llx", static_cast<unsigned long long>(random()));
  return destination + suffix;
}

}  // namespace qvn::http
