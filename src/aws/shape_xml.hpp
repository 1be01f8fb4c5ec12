#pragma once
// Reading a described result from an XML response element.
//
// EC2: elements are named with a lower-case first letter unless the field
// says otherwise, lists are wrapper elements of <item>s. Query protocol
// (IAM, STS): elements carry the member name, lists wrap <member>s. S3:
// member names, and `flat` lists are repeated elements without a wrapper.
// A member whose element is missing keeps its default (absent, or empty).
//
// Answers are read as leniently as the SDKs read them, so that one odd
// member never fails a call: blanks around numbers and booleans are
// ignored, a boolean is true when it reads "true" in any case and false
// otherwise (emulators send "False"), and a number or boolean whose element
// is empty or cannot be read as its type is taken as not sent.
#include <charconv>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

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

// Reads one value; false when a scalar's text cannot be read as its type
// (the member is then taken as not sent).
template <class M>
bool read_value(const pugi::xml_node& node, M& out, XmlDialect dialect);

template <class M>
void read_list_item(const pugi::xml_node& node, std::vector<M>& list, XmlDialect dialect) {
  M item{};
  if (read_value(node, item, dialect)) list.push_back(std::move(item));
}

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
          if (c.type() == pugi::node_element && xml::local_name(c) == name) read_list_item(c, target, dialect);
        }
        return;
      }
      const pugi::xml_node wrapper = xml::child(node, name);
      const std::string_view item = dialect == XmlDialect::Ec2 ? "item" : "member";
      for (pugi::xml_node c = wrapper.first_child(); c; c = c.next_sibling()) {
        if (c.type() == pugi::node_element && xml::local_name(c) == item) read_list_item(c, target, dialect);
      }
    } else {
      const pugi::xml_node c = xml::child(node, name);
      if (c) read_value(c, target, dialect);
    }
  });
}

inline std::string_view trim_blanks(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\n' || c == '\t' || c == '\r'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

// A number with blanks around it and an optional '+' reads as the number.
template <class N>
bool parse_number(std::string_view text, N& out) {
  text = trim_blanks(text);
  if (text.size() > 1 && text.front() == '+' && text[1] != '-') text.remove_prefix(1);
  if (text.empty()) return false;
  N value{};
  const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || ptr != text.data() + text.size()) return false;
  out = value;
  return true;
}

// "true" in any case is true, any other text false; an empty element is
// no value at all.
inline bool parse_boolean(std::string_view text, bool& out) {
  text = trim_blanks(text);
  if (text.empty()) return false;
  out = text.size() == 4 && (text[0] | 0x20) == 't' && (text[1] | 0x20) == 'r' && (text[2] | 0x20) == 'u' &&
        (text[3] | 0x20) == 'e';
  return true;
}

template <class M>
bool read_value(const pugi::xml_node& node, M& out, XmlDialect dialect) {
  if constexpr (is_optional<M>::value) {
    typename M::value_type value{};
    if (!read_value(node, value, dialect)) return false;
    out = std::move(value);
    return true;
  } else if constexpr (Described<M>) {
    read_struct(node, out, dialect);
    return true;
  } else if constexpr (std::is_same_v<M, bool>) {
    return parse_boolean(xml::text(node), out);
  } else if constexpr (std::is_arithmetic_v<M>) {
    return parse_number<M>(xml::text(node), out);
  } else {
    static_assert(std::is_same_v<M, std::string>, "unsupported member type");
    out = xml::text(node);
    return true;
  }
}

}  // namespace xml_detail

// Fills `out` from the children of `node`.
template <Described T>
void read_xml(const pugi::xml_node& node, T& out, XmlDialect dialect) {
  xml_detail::read_struct(node, out, dialect);
}

}  // namespace qvn::aws::shape
