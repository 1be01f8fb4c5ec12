#pragma once
// What the IAM handlers share: the query protocol's namespace, the checks of
// names, paths, documents and tags as IAM makes them, the lookups that
// answer NoSuchEntity, the XML of policies, roles and profiles, and marker
// paging.
#include <string>
#include <vector>

#include "iam.hpp"
#include "query_xml.hpp"

namespace qvn::sandbox::iam_wire {

inline constexpr const char* kXmlns = "https://iam.amazonaws.com/doc/2010-05-08/";

// The parameter `name` (IAM's member `member` in the message); ValidationError when absent.
std::string required(const AwsCall& call, const std::string& name, const std::string& member);
// IAM names: [\w+=,.@-]+ within a length limit.
void check_name(const std::string& value, const std::string& member, std::size_t max_length);
std::string path_param(const AwsCall& call);
void check_document(const std::string& document);
Pairs tags_param(const AwsCall& call);

IamPolicy& find_policy(IamAccount& acct, const std::string& arn);
IamRole& find_role(IamAccount& acct, const std::string& name);
IamInstanceProfile& find_profile(IamAccount& acct, const std::string& name);

// The member list of Policy in CreatePolicy, GetPolicy and ListPolicies.
void write_policy(pugi::xml_node node, const IamPolicy& p, bool with_tags);
void write_role(pugi::xml_node node, const IamRole& r, bool full);
void write_profile(pugi::xml_node node, const IamInstanceProfile& p, const IamAccount& acct);

// Marker paging over items already in their listing order: the marker is
// the opaque encoding of the last key handed out.
template <typename T>
struct Page {
  std::vector<const T*> items;
  bool truncated = false;
  std::string marker;
};

template <typename T, typename KeyFn>
Page<T> page_of(const std::vector<const T*>& all, const AwsCall& call, KeyFn key) {
  int max_items = 100;
  if (call.has_param("MaxItems")) {
    try {
      max_items = std::stoi(call.param("MaxItems"));
    } catch (const std::exception&) {
      max_items = 0;
    }
    if (max_items < 1 || max_items > 1000)
      throw validation("1 validation error detected: Value '" + call.param("MaxItems") +
                       "' at 'maxItems' failed to satisfy constraint: Member must have value between 1 and 1000");
  }
  std::size_t start = 0;
  if (call.has_param("Marker")) {
    std::string after;
    try {
      after = base64_decode(call.param("Marker"));
    } catch (const std::exception&) {
      throw validation("Invalid Marker.");
    }
    if (!after.starts_with("iam:")) throw validation("Invalid Marker.");
    after = after.substr(4);
    while (start < all.size() && key(*all[start]) <= after) ++start;
  }
  Page<T> page;
  for (std::size_t i = start; i < all.size(); ++i) {
    if (page.items.size() == static_cast<std::size_t>(max_items)) {
      page.truncated = true;
      page.marker = base64_encode("iam:" + key(*page.items.back()));
      break;
    }
    page.items.push_back(all[i]);
  }
  return page;
}

void write_paging(pugi::xml_node result, bool truncated, const std::string& marker);

// The answer of a paged List action: one page of `all` (MaxItems, Marker),
// its IsTruncated and Marker, and the page's items as the members of
// `list_name`, each written by `write_item(member, item)`.
template <typename T, typename KeyFn, typename WriteFn>
AwsReply paged_list_reply(const std::string& action, const char* list_name, const std::vector<const T*>& all,
                          const AwsCall& call, KeyFn key, WriteFn write_item) {
  const Page<T> page = page_of<T>(all, call, key);
  QueryReply reply(action, kXmlns);
  write_paging(reply.result(), page.truncated, page.marker);
  pugi::xml_node list = reply.result().append_child(list_name);
  for (const T* item : page.items) write_item(list.append_child("member"), *item);
  return reply.finish(call.request_id);
}

}  // namespace qvn::sandbox::iam_wire
