#pragma once
// Reading a described result from an XML response element.
//
// EC2: elements are named with a lower-case first letter unless the field
// says otherwise, lists are wrapper elements of <item>s. Query protocol
// (IAM, STS): elements carry the member name, lists wrap <member>s. S3:
// member names, and `flat` lists are repeated elements without a wrapper.
// A member whose element is missing keeps its default (absent, or empty).
#include <charconv>
#include <string>
#include <type_traits>

#include "aws/shape.hpp"
#include "aws/xml.hpp"

namespace qvn::aws::shape {

enum class XmlDialect { Ec2, Query, RestXml };

namespace xml_detail {

inline std::string element_name(std::string_view name, std::string_view xml_name, XmlDialect dialect) {
  if (!xml_name.empty()) return std::string(xml_name);
  std::string out(name);
  if (dialect == XmlDialect::Ec2 && !out.empty() && out[0] >= 'A' && out[0] <= 'Z') {
    out[0] = static_cast<char>(out[0] - 'A' + 'a');
  }
  return out;
}

template <class M>
void read_value(const pugi::xml_node& node, M& out, XmlDialect dialect);

template <Described T>
void read_struct(const pugi::xml_node& node, T& out, XmlDialect dialect) {
  for_each_field<T>([&](const auto& f) {
    using M = std::remove_cvref_t<decltype(out.*(f.member))>;
    const std::string name = element_name(f.name, f.xml_name, dialect);
    M& target = out.*(f.member);
    if constexpr (is_vector<M>::value) {
      target.clear();
      if (f.flattened) {
        for (pugi::xml_node c = node.first_child(); c; c = c.next_sibling()) {
          if (c.type() == pugi::node_element && xml::local_name(c) == name) {
            read_value(c, target.emplace_back(), dialect);
          }
        }
        return;
      }
      const pugi::xml_node wrapper = xml::child(node, name);
      const std::string_view item = dialect == XmlDialect::Ec2 ? "item" : "member";
      for (pugi::xml_node c = wrapper.first_child(); c; c = c.next_sibling()) {
        if (c.type() == pugi::node_element && xml::local_name(c) == item) {
          read_value(c, target.emplace_back(), dialect);
        }
      }
    } else {
      const pugi::xml_node c = xml::child(node, name);
      if (c) read_value(c, target, dialect);
    }
  });
}

template <class N>
N parse_number(const std::string& text, const pugi::xml_node& node) {
  N value{};
  const char* begin = text.data();
  const char* end = text.data() + text.size();
  while (begin < end && (*begin == ' ' || *begin == '\n' || *begin == '\t' || *begin == '\r')) ++begin;
  while (end > begin && (end[-1] == ' ' || end[-1] == '\n' || end[-1] == '\t' || end[-1] == '\r')) --end;
  const auto [ptr, ec] = std::from_chars(begin, end, value);
  if (ec != std::errc() || ptr != end || begin == end) {
    throw xml::ParseError("malformed number \"" + text + "\" in <" + std::string(node.name()) + ">");
  }
  return value;
}

template <class M>
void read_value(const pugi::xml_node& node, M& out, XmlDialect dialect) {
  if constexpr (is_optional<M>::value) {
    typename M::value_type value{};
    read_value(node, value, dialect);
    out = std::move(value);
  } else if constexpr (Described<M>) {
    read_struct(node, out, dialect);
  } else if constexpr (std::is_same_v<M, bool>) {
    const std::string t = xml::text(node);
    if (t == "true") {
      out = true;
    } else if (t == "false") {
      out = false;
    } else {
      throw xml::ParseError("malformed boolean \"" + t + "\" in <" + std::string(node.name()) + ">");
    }
  } else if constexpr (std::is_arithmetic_v<M>) {
    out = parse_number<M>(xml::text(node), node);
  } else {
    static_assert(std::is_same_v<M, std::string>, "unsupported member type");
    out = xml::text(node);
  }
}

}  // namespace xml_detail

// Fills `out` from the children of `node`.
template <Described T>
void read_xml(const pugi::xml_node& node, T& out, XmlDialect dialect) {
  xml_detail::read_struct(node, out, dialect);
}

}  // namespace qvn::aws::shape
