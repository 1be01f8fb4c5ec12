#pragma once
// Helpers shared by the EC2 operations: the response writer, reading the EC2
// query dialect (lists, filters, tag specifications), filter matching,
// paging, identifiers and IPv4 arithmetic.
#include <cstdint>
#include <functional>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "ec2_model.hpp"
#include "service.hpp"

namespace qvn::sandbox::ec2 {

// A streaming XML writer for EC2 responses.
class Xml {
 public:
  Xml& open(const std::string& name);
  Xml& close();
  Xml& leaf(const std::string& name, const std::string& value);
  Xml& leaf(const std::string& name, const char* value) { return leaf(name, std::string(value)); }
  Xml& leaf(const std::string& name, bool value);
  Xml& leaf(const std::string& name, int value);
  // Written only when the value is not empty.
  Xml& optional(const std::string& name, const std::string& value);
  Xml& empty(const std::string& name);
  Xml& tags(const Tags& tags);  // <tagSet>...</tagSet>
  std::string str() const { return out_; }

 private:
  std::string out_;
  std::vector<std::string> stack_;
};

std::string xml_escape(const std::string& text);
std::string iso_time(TimePoint t);  // 2024-01-15T12:00:02.000Z
std::optional<TimePoint> parse_iso_time(const std::string& text);

// An EC2 refusal with HTTP status 400 (the usual case).
ApiError bad_request(const std::string& code, const std::string& message);

// Prefix.1, Prefix.2, ... in index order.
std::vector<std::string> list_param(const AwsCall& call, const std::string& prefix);
// The distinct indexes N that occur as Prefix.N.<anything>, ascending.
std::vector<int> indexes(const AwsCall& call, const std::string& prefix);
std::optional<bool> bool_param(const AwsCall& call, const std::string& name);
std::optional<int> int_param(const AwsCall& call, const std::string& name);
std::string required(const AwsCall& call, const std::string& name);

struct Filter {
  std::string name;
  std::vector<std::string> values;
};
std::vector<Filter> parse_filters(const AwsCall& call);

// Tag specifications of one resource type (TagSpecification.N.Tag.M.*);
// refuses resource types not in `allowed`.
Tags tag_specifications(const AwsCall& call, const std::string& resource_type, const std::set<std::string>& allowed);

// The values a resource has for a filter name; empty when it has none.
using FieldValues = std::function<std::vector<std::string>(const std::string& name)>;

// Refuses filter names that the operation does not know ("tag:" names are
// always known).
void check_filters(const std::vector<Filter>& filters, const std::set<std::string>& known);
// All filters match (a filter matches when one of its values, with * and ?
// wildcards, equals one of the resource's values).
bool matches(const std::vector<Filter>& filters, const FieldValues& values);
bool wildcard_match(const std::string& pattern, const std::string& text);
// Adds the values of tag:<key>, tag-key and tag-value.
bool tag_field(const Tags& tags, const std::string& name, std::vector<std::string>& out);

// MaxResults / NextToken over `total` items; validates the range.
struct Page {
  size_t begin = 0;
  size_t end = 0;
  std::string next_token;  // empty: last page
};
Page page(const AwsCall& call, size_t total, int min_results, int max_results, bool ids_given);

// Identifiers like EC2's: prefix-0 followed by 16 hex digits.
class IdMaker {
 public:
  IdMaker();
  std::string make(const std::string& prefix);
  std::string mac();
  std::string uuid();

 private:
  std::mt19937_64 rng_;
};

// IPv4 helpers.
std::optional<uint32_t> parse_ipv4(const std::string& text);
std::string ipv4_text(uint32_t address);
struct Cidr {
  uint32_t base = 0;
  int prefix = 0;
  uint32_t size() const { return prefix == 0 ? 0xffffffffu : (1u << (32 - prefix)); }
  bool contains(uint32_t address) const;
};
std::optional<Cidr> parse_cidr(const std::string& text);
// The lowest free host address of a subnet (EC2 keeps the first four and the
// last address); empty when the subnet is full.
std::string free_host(const std::string& cidr, const std::set<std::string>& used);

// ---- ids ---------------------------------------------------------------------

// A zone's id as EC2 names it ("us-east-1a" -> "use1-az1"); empty for a name
// of another shape.
std::string zone_id_of(const std::string& zone);
// "ami-" and 8 or 17 hexadecimal digits.
bool well_formed_image_id(const std::string& id);

}  // namespace qvn::sandbox::ec2
