#include "frame/closest_name.hpp"

#include <algorithm>

namespace qvn {

namespace {

std::string withoutDashes(const std::string& name) {
  const std::size_t start = name.find_first_not_of('-');
  return start == std::string::npos ? "" : name.substr(start);
}

}  // namespace

std::size_t editDistance(const std::string& a, const std::string& b) {
  // Three rows of the optimal-string-alignment table: two back for the swap.
  std::vector<std::size_t> before(b.size() + 1), previous(b.size() + 1), current(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) previous[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    current[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
      current[j] = std::min({previous[j] + 1, current[j - 1] + 1, previous[j - 1] + cost});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        current[j] = std::min(current[j], before[j - 2] + 1);
      }
    }
    std::swap(before, previous);
    std::swap(previous, current);
  }
  return previous[b.size()];
}

std::optional<std::string> closestName(const std::string& typed, const std::vector<std::string>& known) {
  const std::string bare = withoutDashes(typed);
  if (bare.empty() || known.empty()) return std::nullopt;
  std::optional<std::string> nearest;
  std::size_t best = std::string::npos;
  for (const auto& name : known) {
    const std::size_t distance = editDistance(bare, withoutDashes(name));
    if (distance < best) {
      best = distance;
      nearest = name;
    }
  }
  if (best == 0) return typed == *nearest ? std::nullopt : nearest;  // "-region" for "--region"
  // A beginning shared by several names is no slip but an ambiguity.
  std::vector<std::string> begun;
  for (const auto& name : known) {
    const std::string other = withoutDashes(name);
    if (other.size() > bare.size() && other.starts_with(bare)) begun.push_back(name);
  }
  if (begun.size() > 1) return std::nullopt;
  if (begun.size() == 1 && bare.size() >= 3) return begun.front();
  const std::size_t allowed = std::max<std::size_t>(2, withoutDashes(*nearest).size() / 3);
  if (best <= allowed) return nearest;
  return std::nullopt;
}

std::string unknownOptionMessage(const std::string& typed, const std::vector<std::string>& known) {
  const std::string name = typed.substr(0, typed.find('='));
  std::string message = "unknown option '" + name + "'";
  if (auto guess = closestName(name, known)) message += "; did you mean '" + *guess + "'?";
  return message;
}

}  // namespace qvn
