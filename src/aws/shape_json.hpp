#pragma once
// Converting described structures to and from JSON objects with AWS's member
// names. Used for the SSM wire format and for the command line.
//
// to_json leaves absent optional members out; lists are written even when
// empty, except `flat` (S3) lists, which AWS leaves out when empty.
// from_json in strict mode refuses unknown members, members of the wrong
// type and missing required members (a member that is neither optional
// nor a list) with a JsonInputError; lenient mode (for service responses)
// skips unknown members and keeps defaults for missing ones, and reads
// scalars as the SDKs do: "true" in any case is true (any other text false),
// numbers may come as text with blanks, whole numbers as 5.0, and epoch-second
// times as ISO 8601 text. A member it cannot read is taken as not sent.
#include <nlohmann/json.hpp>

#include <cmath>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>

#include "aws/shape.hpp"
#include "aws/shape_xml.hpp"
#include "aws/timestamp.hpp"

namespace qvn::aws::shape {

using Json = nlohmann::ordered_json;

class JsonInputError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

namespace json_detail {

template <class M>
Json value_to_json(const M& value) {
  if constexpr (is_optional<M>::value) {
    return value ? value_to_json(*value) : Json();
  } else if constexpr (is_vector<M>::value) {
    Json array = Json::array();
    for (const auto& item : value) array.push_back(value_to_json(item));
    return array;
  } else if constexpr (Described<M>) {
    Json object = Json::object();
    for_each_field<M>([&](const auto& f) {
      using F = std::remove_cvref_t<decltype(value.*(f.member))>;
      const F& member = value.*(f.member);
      if constexpr (is_optional<F>::value) {
        if (!member) return;
      } else if constexpr (is_vector<F>::value) {
        if (f.flattened && member.empty()) return;
      }
      object[std::string(f.name)] = value_to_json(member);
    });
    return object;
  } else {
    return Json(value);
  }
}

inline std::string type_name(const Json& j) { return j.type_name(); }

[[noreturn]] inline void type_error(const std::string& where, const Json& j, const char* expected) {
  throw JsonInputError("Invalid type for parameter " + where + ", value: " + j.dump() + ", type: " + type_name(j) +
                       ", valid types: " + expected);
}

// A JSON number for an integral member: taken when it is a whole number the
// member can hold, left out otherwise.
template <class M>
bool lenient_integer(const Json& j, M& out) {
  long long whole = 0;
  if (j.is_number_unsigned()) {
    const auto value = j.get<unsigned long long>();
    if (!std::in_range<M>(value)) return false;
    out = static_cast<M>(value);
    return true;
  }
  if (j.is_number_integer()) {
    whole = j.get<long long>();
  } else {
    const double value = j.get<double>();
    if (!std::isfinite(value) || value != std::floor(value) || value < -9.2e18 || value > 9.2e18) return false;
    whole = static_cast<long long>(value);
  }
  if (!std::in_range<M>(whole)) return false;
  out = static_cast<M>(whole);
  return true;
}

// Text for a fractional member: a number, or a time. The fractional
// members of these models are times in epoch seconds, which compatible
// services may send as ISO 8601 text.
template <class M>
bool lenient_floating(const std::string& text, M& out) {
  if (xml_detail::parse_number(text, out)) return true;
  const auto time = parse_timestamp(text);
  if (time) out = static_cast<M>(epoch_seconds(*time));
  return time.has_value();
}

template <class M>
bool value_from_json(const Json& j, M& out, const std::string& where, bool strict);

template <Described T>
void struct_from_json(const Json& j, T& out, const std::string& where, bool strict) {
  if (!j.is_object()) {
    if (!strict) return;
    type_error(where.empty() ? "input" : where, j, "object");
  }
  if (strict) {
    for (const auto& item : j.items()) {
      const std::string& key = item.key();
      bool known = false;
      for_each_field<T>([&](const auto& f) { known = known || f.name == key; });
      if (!known) {
        std::string names;
        for (const auto name : field_names<T>()) names += (names.empty() ? "" : ", ") + std::string(name);
        throw JsonInputError("Unknown parameter in " + (where.empty() ? std::string("input") : where) + ": \"" + key +
                             "\", must be one of: " + names);
      }
    }
  }
  for_each_field<T>([&](const auto& f) {
    using F = std::remove_cvref_t<decltype(out.*(f.member))>;
    const std::string name(f.name);
    const std::string member_where = where.empty() ? name : where + "." + name;
    const auto it = j.find(name);
    if (it == j.end() || it->is_null()) {
      if constexpr (!is_optional<F>::value && !is_vector<F>::value) {
        if (strict) {
          throw JsonInputError("Missing required parameter in " + (where.empty() ? std::string("input") : where) +
                               ": \"" + name + "\"");
        }
      }
      return;
    }
    value_from_json(*it, out.*(f.member), member_where, strict);
  });
}

template <class M>
bool value_from_json(const Json& j, M& out, const std::string& where, bool strict) {
  if constexpr (is_optional<M>::value) {
    typename M::value_type value{};
    if (!value_from_json(j, value, where, strict)) return false;
    out = std::move(value);
    return true;
  } else if constexpr (is_vector<M>::value) {
    out.clear();
    if (!j.is_array()) {
      if (!strict) return false;
      type_error(where, j, "list");
    }
    for (std::size_t i = 0; i < j.size(); ++i) {
      typename M::value_type item{};
      if (value_from_json(j[i], item, where + "[" + std::to_string(i) + "]", strict)) out.push_back(std::move(item));
    }
    return true;
  } else if constexpr (Described<M>) {
    struct_from_json(j, out, where, strict);
    return true;
  } else if constexpr (std::is_same_v<M, bool>) {
    if (j.is_boolean()) {
      out = j.get<bool>();
      return true;
    }
    if (strict) type_error(where, j, "bool");
    return j.is_string() && xml_detail::parse_boolean(j.get_ref<const std::string&>(), out);
  } else if constexpr (std::is_integral_v<M>) {
    if (strict) {
      if (!j.is_number_integer()) type_error(where, j, "int");
      out = j.get<M>();
      return true;
    }
    if (j.is_number()) return lenient_integer(j, out);
    return j.is_string() && xml_detail::parse_number(j.get_ref<const std::string&>(), out);
  } else if constexpr (std::is_floating_point_v<M>) {
    if (j.is_number()) {
      out = j.get<M>();
      return true;
    }
    if (strict) type_error(where, j, "float");
    return j.is_string() && lenient_floating(j.get_ref<const std::string&>(), out);
  } else {
    static_assert(std::is_same_v<M, std::string>, "unsupported member type");
    if (!j.is_string()) {
      if (!strict) return false;
      type_error(where, j, "str");
    }
    out = j.get<std::string>();
    return true;
  }
}

}  // namespace json_detail

template <Described T>
Json to_json(const T& value) {
  return json_detail::value_to_json(value);
}

// Strict: for input from a user. Throws JsonInputError.
template <Described T>
T from_json_strict(const Json& j) {
  T out{};
  json_detail::struct_from_json(j, out, "", true);
  return out;
}

// Lenient: for documents from a service.
template <Described T>
T from_json_lenient(const Json& j) {
  T out{};
  json_detail::struct_from_json(j, out, "", false);
  return out;
}

}  // namespace qvn::aws::shape
