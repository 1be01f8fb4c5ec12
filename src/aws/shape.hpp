#pragma once
// Describing request and result structures once, for every wire format.
//
// Each structure lists its members in a static `fields()` function:
//
//   struct Filter {
//     std::string Name;
//     std::vector<std::string> Values;
//     static constexpr auto fields() {
//       return std::tuple{shape::field("Name", &Filter::Name),
//                         shape::field("Values", &Filter::Values).query("Value")};
//     }
//   };
//
// The member's AWS name is also its JSON name; `query` gives the EC2 form
// name when it differs, `xml` the response element name when it differs
// from the protocol's default (EC2: the name with a lower-case first
// letter; IAM and S3: the name itself). `flat` marks an S3 list written as
// repeated elements without a wrapper. The form, XML and JSON conversions
// (shape_form.hpp, shape_xml.hpp, shape_json.hpp) walk these lists.
//
// Member types: std::string, bool, integers, double, nested described
// structures, std::optional<T> (optional members: absent stays absent) and
// std::vector<T> (lists: absent and empty are the same).
#include <optional>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <vector>

namespace qvn::aws::shape {

template <class T, class M>
struct Field {
  std::string_view name;
  M T::*member;
  std::string_view query_name{};
  std::string_view xml_name{};
  bool flattened = false;

  constexpr Field query(std::string_view wire) const {
    Field f = *this;
    f.query_name = wire;
    return f;
  }
  constexpr Field xml(std::string_view element) const {
    Field f = *this;
    f.xml_name = element;
    return f;
  }
  constexpr Field flat() const {
    Field f = *this;
    f.flattened = true;
    return f;
  }
};

template <class T, class M>
constexpr Field<T, M> field(std::string_view name, M T::*member) {
  return Field<T, M>{name, member};
}

template <class T>
concept Described = requires {
  T::fields();
};

template <class T>
struct is_optional : std::false_type {};
template <class T>
struct is_optional<std::optional<T>> : std::true_type {};

template <class T>
struct is_vector : std::false_type {};
template <class T, class A>
struct is_vector<std::vector<T, A>> : std::true_type {};

// Calls f(field) for every described member of T, in declaration order.
template <Described T, class F>
constexpr void for_each_field(F&& f) {
  std::apply([&](const auto&... fs) { (f(fs), ...); }, T::fields());
}

// The names of T's members, for messages.
template <Described T>
std::vector<std::string_view> field_names() {
  std::vector<std::string_view> names;
  for_each_field<T>([&](const auto& f) { names.push_back(f.name); });
  return names;
}

// A structure with no members: the result of operations without output.
struct Empty {
  static constexpr auto fields() { return std::tuple<>{}; }
};

}  // namespace qvn::aws::shape

// field() for a member whose AWS name is the C++ member name.
#define QVN_FIELD(type, member) ::qvn::aws::shape::field(#member, &type::member)
