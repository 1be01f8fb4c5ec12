#pragma once
// Resource tags of the EC2 resources that probe_deploy creates: the `Name`
// tag that marks a resource as the tool's own, then the user's tags of
// --tag_resource, in option order.
#include <optional>
#include <map>
#include <string>
#include <vector>

#include "aws/ec2_model.hpp"

namespace qvn::deploy {

// The pieces of a --tag_resource value, split at every ',' (kept untrimmed;
// "" is one empty piece).
std::vector<std::string> splitTagResource(const std::string& value);

// Where the user tags of `tags` (all but "Name" and AWS's own "aws:" ones)
// differ from the pairs of --tag_resource `rt_tags` (none: no tags asked
// for): "key=value" for a tag the run does not ask for or asks otherwise,
// "key (none)" for one asked for and missing. Sorted by key.
std::vector<std::string> differingUserTags(const std::vector<aws::Tag>& tags, const std::optional<std::string>& rt_tags);

// A TagSpecifications entry of `resourceType` holding the one tag Name = `name`.
aws::TagSpecification nameTagSpecification(const std::string& resourceType, const std::string& name);

// Appends the pairs of `rt_tags` ("key1,value1,key2,value2", items used as
// written: no trimming, empty items kept) to the Tags of the first
// TagSpecifications entry, after the tags already there. Throws
// std::invalid_argument, changing nothing, when the items do not make whole
// pairs or there is no entry to extend.
void populateTags(std::vector<aws::TagSpecification>& tagSpecifications, const std::string& rt_tags);

// The same for a creation request that carries `TagSpecifications`.
template <class Request>
void populateTags(Request& data, const std::string& rt_tags) {
  populateTags(data.TagSpecifications, rt_tags);
}

}  // namespace qvn::deploy
