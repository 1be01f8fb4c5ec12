#include "ec2_support.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <map>

namespace qvn::sandbox::ec2 {

// ---- XML -------------------------------------------------------------------

std::string xml_escape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

Xml& Xml::open(const std::string& name) {
  out_ += "<" + name + ">";
  stack_.push_back(name);
  return *this;
}

Xml& Xml::close() {
  out_ += "</" + stack_.back() + ">";
  stack_.pop_back();
  return *this;
}

Xml& Xml::leaf(const std::string& name, const std::string& value) {
  out_ += "<" + name + ">" + xml_escape(value) + "</" + name + ">";
  return *this;
}

Xml& Xml::leaf(const std::string& name, bool value) { return leaf(name, value ? "true" : "false"); }

Xml& Xml::leaf(const std::string& name, int value) { return leaf(name, std::to_string(value)); }

Xml& Xml::optional(const std::string& name, const std::string& value) {
  if (!value.empty()) leaf(name, value);
  return *this;
}

Xml& Xml::empty(const std::string& name) {
  out_ += "<" + name + "/>";
  return *this;
}

Xml& Xml::tags(const Tags& tags) {
  if (tags.empty()) return empty("tagSet");
  open("tagSet");
  for (const auto& [k, v] : tags) open("item").leaf("key", k).leaf("value", v).close();
  return close();
}

std::string iso_time(TimePoint t) {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
  std::time_t secs = static_cast<std::time_t>(ms / 1000);
  std::tm tm{};
  gmtime_r(&secs, &tm);
  char buf[96];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms % 1000));
  return buf;
}

std::optional<TimePoint> parse_iso_time(const std::string& text) {
  std::tm tm{};
  int y, mo, d, h, mi, s;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d", &y, &mo, &d, &h, &mi, &s) != 6) return std::nullopt;
  tm.tm_year = y - 1900;
  tm.tm_mon = mo - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_min = mi;
  tm.tm_sec = s;
  return std::chrono::system_clock::from_time_t(timegm(&tm));
}

ApiError bad_request(const std::string& code, const std::string& message) { return ApiError(400, code, message); }

// ---- request parameters ----------------------------------------------------

namespace {

// Fields of the call in order (form first, then query).
std::vector<std::pair<std::string, std::string>> all_params(const AwsCall& call) {
  auto all = call.form;
  all.insert(all.end(), call.query.begin(), call.query.end());
  return all;
}

// N of "prefix.N" or "prefix.N.rest"; nullopt when the name does not start so.
std::optional<int> index_after(const std::string& name, const std::string& prefix, std::string* rest) {
  if (name.size() <= prefix.size() + 1 || !name.starts_with(prefix) || name[prefix.size()] != '.') return std::nullopt;
  size_t pos = prefix.size() + 1;
  size_t end = pos;
  while (end < name.size() && std::isdigit(static_cast<unsigned char>(name[end]))) ++end;
  if (end == pos || end - pos > 6) return std::nullopt;
  if (end < name.size() && name[end] != '.') return std::nullopt;
  if (rest) *rest = end < name.size() ? name.substr(end + 1) : std::string();
  return std::stoi(name.substr(pos, end - pos));
}

}  // namespace

std::vector<std::string> list_param(const AwsCall& call, const std::string& prefix) {
  std::map<int, std::string> items;
  for (const auto& [k, v] : all_params(call)) {
    std::string rest;
    auto n = index_after(k, prefix, &rest);
    if (n && rest.empty()) items.emplace(*n, v);
  }
  std::vector<std::string> out;
  for (auto& [n, v] : items) out.push_back(v);
  return out;
}

std::vector<int> indexes(const AwsCall& call, const std::string& prefix) {
  std::set<int> found;
  for (const auto& [k, v] : all_params(call)) {
    std::string rest;
    auto n = index_after(k, prefix, &rest);
    if (n && !rest.empty()) found.insert(*n);
  }
  return {found.begin(), found.end()};
}

std::optional<bool> bool_param(const AwsCall& call, const std::string& name) {
  if (!call.has_param(name)) return std::nullopt;
  std::string v = call.param(name);
  std::transform(v.begin(), v.end(), v.begin(), ::tolower);
  if (v == "true") return true;
  if (v == "false") return false;
  throw bad_request("InvalidParameterValue", "Invalid value '" + call.param(name) + "' for " + name + ".");
}

std::optional<int> int_param(const AwsCall& call, const std::string& name) {
  if (!call.has_param(name)) return std::nullopt;
  const std::string v = call.param(name);
  try {
    size_t used = 0;
    int n = std::stoi(v, &used);
    if (used == v.size()) return n;
  } catch (const std::exception&) {
  }
  throw bad_request("InvalidParameterValue", "Invalid value '" + v + "' for " + name + ".");
}

std::string required(const AwsCall& call, const std::string& name) {
  std::string v = call.param(name);
  if (v.empty()) throw bad_request("MissingParameter", "The request must contain the parameter " + name);
  return v;
}

std::vector<Filter> parse_filters(const AwsCall& call) {
  std::vector<Filter> out;
  for (int n : indexes(call, "Filter")) {
    const std::string base = "Filter." + std::to_string(n);
    Filter f;
    f.name = call.param(base + ".Name");
    f.values = list_param(call, base + ".Value");
    if (f.name.empty()) throw bad_request("InvalidParameterValue", "The filter 'null' is invalid");
    out.push_back(std::move(f));
  }
  return out;
}

Tags tag_specifications(const AwsCall& call, const std::string& resource_type, const std::set<std::string>& allowed) {
  Tags tags;
  for (int n : indexes(call, "TagSpecification")) {
    const std::string base = "TagSpecification." + std::to_string(n);
    const std::string type = call.param(base + ".ResourceType");
    if (!allowed.count(type))
      throw bad_request("InvalidParameterValue",
                        "'" + type + "' is not a valid taggable resource type for this operation.");
    if (type != resource_type) continue;
    for (int m : indexes(call, base + ".Tag")) {
      const std::string tag = base + ".Tag." + std::to_string(m);
      const std::string key = call.param(tag + ".Key");
      if (key.empty()) throw bad_request("InvalidParameterValue", "Tag key must not be empty");
      tags.emplace_back(key, call.param(tag + ".Value"));
    }
  }
  return tags;
}

// ---- filters ---------------------------------------------------------------

void check_filters(const std::vector<Filter>& filters, const std::set<std::string>& known) {
  for (const auto& f : filters) {
    if (f.name.starts_with("tag:") || known.count(f.name)) continue;
    throw bad_request("InvalidParameterValue", "The filter '" + f.name + "' is invalid");
  }
}

bool wildcard_match(const std::string& pattern, const std::string& text) {
  size_t p = 0, t = 0, star = std::string::npos, mark = 0;
  while (t < text.size()) {
    if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == text[t])) {
      ++p;
      ++t;
    } else if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      mark = t;
    } else if (star != std::string::npos) {
      p = star + 1;
      t = ++mark;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

bool matches(const std::vector<Filter>& filters, const FieldValues& values) {
  for (const auto& f : filters) {
    const auto have = values(f.name);
    bool hit = false;
    for (const auto& pattern : f.values) {
      for (const auto& v : have) {
        if (wildcard_match(pattern, v)) {
          hit = true;
          break;
        }
      }
      if (hit) break;
    }
    if (!hit) return false;
  }
  return true;
}

bool tag_field(const Tags& tags, const std::string& name, std::vector<std::string>& out) {
  if (name.starts_with("tag:")) {
    const std::string key = name.substr(4);
    for (const auto& [k, v] : tags)
      if (k == key) out.push_back(v);
    return true;
  }
  if (name == "tag-key") {
    for (const auto& [k, v] : tags) out.push_back(k);
    return true;
  }
  if (name == "tag-value") {
    for (const auto& [k, v] : tags) out.push_back(v);
    return true;
  }
  return false;
}

// ---- paging ----------------------------------------------------------------

Page page(const AwsCall& call, size_t total, int min_results, int max_results, bool ids_given) {
  Page p;
  p.end = total;
  auto max = int_param(call, "MaxResults");
  const std::string token = call.param("NextToken");
  if (max && ids_given)
    throw bad_request("InvalidParameterCombination", "The parameter MaxResults cannot be used with ids");
  if (max && (*max < min_results || *max > max_results))
    throw bad_request("InvalidParameterValue",
                      "Value ( " + std::to_string(*max) +
                          " ) for parameter maxResults is invalid. Parameter must be between " +
                          std::to_string(min_results) + " and " + std::to_string(max_results) + ".");
  if (!token.empty()) {
    size_t offset = 0;
    bool ok = token.starts_with("qvn1.");
    if (ok) {
      try {
        size_t used = 0;
        offset = std::stoul(token.substr(5), &used);
        ok = used == token.size() - 5;
      } catch (const std::exception&) {
        ok = false;
      }
    }
    if (!ok) throw bad_request("InvalidPaginationToken", "Invalid pagination token: " + token);
    p.begin = std::min(offset, total);
  }
  if (max && p.begin + static_cast<size_t>(*max) < total) {
    p.end = p.begin + static_cast<size_t>(*max);
    p.next_token = "qvn1." + std::to_string(p.end);
  }
  return p;
}

// ---- identifiers -----------------------------------------------------------

IdMaker::IdMaker() : rng_(std::random_device{}()) {}

std::string IdMaker::make(const std::string& prefix) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(rng_()));
  std::string hex(buf);
  return prefix + "-0" + hex.substr(0, 16);
}

std::string IdMaker::mac() {
  uint64_t r = rng_();
  char buf[24];
  std::snprintf(buf, sizeof buf, "0a:%02x:%02x:%02x:%02x:%02x", unsigned(r & 0xff), unsigned((r >> 8) & 0xff),
                unsigned((r >> 16) & 0xff), unsigned((r >> 24) & 0xff), unsigned((r >> 32) & 0xff));
  return buf;
}

std::string IdMaker::uuid() {
  uint64_t a = rng_(), b = rng_();
  char buf[40];
  std::snprintf(buf, sizeof buf, "%08x-%04x-4%03x-%04x-%012llx", unsigned(a >> 32), unsigned((a >> 16) & 0xffff),
                unsigned(a & 0xfff), unsigned(((b >> 48) & 0x3fff) | 0x8000),
                static_cast<unsigned long long>(b & 0xffffffffffffULL));
  return buf;
}

// ---- IPv4 ------------------------------------------------------------------

std::optional<uint32_t> parse_ipv4(const std::string& text) {
  unsigned a, b, c, d;
  char tail;
  if (std::sscanf(text.c_str(), "%u.%u.%u.%u%c", &a, &b, &c, &d, &tail) != 4) return std::nullopt;
  if (a > 255 || b > 255 || c > 255 || d > 255) return std::nullopt;
  return (a << 24) | (b << 16) | (c << 8) | d;
}

std::string ipv4_text(uint32_t address) {
  return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xff) + "." +
         std::to_string((address >> 8) & 0xff) + "." + std::to_string(address & 0xff);
}

bool Cidr::contains(uint32_t address) const {
  if (prefix == 0) return true;
  uint32_t mask = 0xffffffffu << (32 - prefix);
  return (address & mask) == base;
}

std::optional<Cidr> parse_cidr(const std::string& text) {
  auto slash = text.find('/');
  if (slash == std::string::npos) return std::nullopt;
  auto addr = parse_ipv4(text.substr(0, slash));
  int prefix = -1;
  try {
    size_t used = 0;
    prefix = std::stoi(text.substr(slash + 1), &used);
    if (used != text.size() - slash - 1) return std::nullopt;
  } catch (const std::exception&) {
    return std::nullopt;
  }
  if (!addr || prefix < 0 || prefix > 32) return std::nullopt;
  uint32_t mask = prefix == 0 ? 0 : 0xffffffffu << (32 - prefix);
  return Cidr{*addr & mask, prefix};
}

std::string free_host(const std::string& cidr, const std::set<std::string>& used) {
  auto net = parse_cidr(cidr);
  if (!net || net->prefix > 28) return {};
  for (uint32_t off = 4; off + 1 < net->size(); ++off) {
    std::string ip = ipv4_text(net->base + off);
    if (!used.count(ip)) return ip;
  }
  return {};
}

std::string zone_id_of(const std::string& zone) {
  // region-direction-number followed by one letter: us-east-1a, ap-southeast-2b
  static const std::map<std::string, std::string> directions = {
      {"east", "e"},       {"west", "w"},       {"north", "n"},      {"south", "s"},      {"central", "c"},
      {"northeast", "ne"}, {"northwest", "nw"}, {"southeast", "se"}, {"southwest", "sw"}, {"gov", "gov"}};
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (std::size_t dash = zone.find('-'); dash != std::string::npos; dash = zone.find('-', start)) {
    parts.push_back(zone.substr(start, dash - start));
    start = dash + 1;
  }
  parts.push_back(zone.substr(start));
  if (parts.size() != 3) return {};
  const std::string& last = parts[2];
  if (last.size() < 2 || !std::islower(static_cast<unsigned char>(last.back()))) return {};
  const std::string number = last.substr(0, last.size() - 1);
  if (!std::all_of(number.begin(), number.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); }))
    return {};
  auto direction = directions.find(parts[1]);
  if (parts[0].size() != 2 || direction == directions.end()) return {};
  return parts[0] + direction->second + number + "-az" + std::to_string(last.back() - 'a' + 1);
}

bool well_formed_image_id(const std::string& id) {
  if (!id.starts_with("ami-")) return false;
  const std::string digits = id.substr(4);
  if (digits.size() != 8 && digits.size() != 17) return false;
  return std::all_of(digits.begin(), digits.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
}

}  // namespace qvn::sandbox::ec2
