#include "deploy/tags.hpp"

#include <stdexcept>

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

aws::TagSpecification nameTagSpecification(const std::string& resourceType, const std::string& name) {
  aws::TagSpecification spec;
  spec.ResourceType = resourceType;
  spec.Tags.push_back(aws::Tag{"Name", name});
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
