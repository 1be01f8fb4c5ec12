#include "deploy/tags.hpp"

#include <stdexcept>

#include "deploy/resource_names.hpp"

namespace qvn::deploy {

std::vector<std::string> splitTagResource(const std::string& value) {
  std::vector<std::string> pieces;
  std::size_t start = 0;
  while (true) {
    const std::size_t comma = value.find(',', start);
    if (comma == std::string::npos) {
      pieces.push_back(value.substr(start));
      return pieces;
    }
    pieces.push_back(value.substr(start, comma - start));
    start = comma + 1;
  }
}

std::vector<std::string> differingUserTags(const std::vector<aws::Tag>& tags, const std::optional<std::string>& rt_tags) {
  std::map<std::string, std::string> asked;
  if (rt_tags) {
    const std::vector<std::string> items = splitTagResource(*rt_tags);
    for (std::size_t i = 0; i + 1 < items.size(); i += 2) asked[items[i]] = items[i + 1];
  }
  std::map<std::string, std::string> found;
  for (const aws::Tag& tag : tags) {
    const std::string key = tag.Key.value_or("");
    if (key.empty() || key == names::kNameTagKey || key.starts_with("aws:")) continue;
    found[key] = tag.Value.value_or("");
  }
  std::map<std::string, std::string> differing;
  for (const auto& [key, value] : found) {
    const auto same = asked.find(key);
    if (same == asked.end() || same->second != value) differing[key] = key + "=" + value;
  }
  for (const auto& [key, value] : asked)
    if (!found.contains(key)) differing[key] = key + " (none)";
  std::vector<std::string> listed;
  for (const auto& [key, text] : differing) listed.push_back(text);
  return listed;
}

aws::TagSpecification nameTagSpecification(const std::string& resourceType, const std::string& name) {
  aws::TagSpecification spec;
  spec.ResourceType = resourceType;
  spec.Tags.push_back(aws::Tag{names::kNameTagKey, name});
  return spec;
}

void populateTags(std::vector<aws::TagSpecification>& tagSpecifications, const std::string& rt_tags) {
  const std::vector<std::string> tag_items = splitTagResource(rt_tags);
  if (tag_items.size() % 2 != 0)
    throw std::invalid_argument("tag_resource: the key \"" + tag_items.back() + "\" has no value");
  if (tagSpecifications.empty())
    throw std::invalid_argument("tag_resource: the request has no TagSpecifications entry");
  auto& tags = tagSpecifications.front().Tags;
  for (std::size_t i = 0; i < tag_items.size(); i += 2) tags.push_back(aws::Tag{tag_items[i], tag_items[i + 1]});
}

}  // namespace qvn::deploy
