#pragma once
// Converting described structures to and from JSON objects with AWS's member
// names. Used for the SSM wire format and for the command line.
//
// to_json leaves absent optional members out; lists are written even when
// empty, except `flat` (S3) lists, which AWS leaves out when empty.
// from_json in strict mode refuses unknown members, members of the wrong
// type and missing required members (a member that is neither optional
// nor a list) with a JsonInputError; lenient mode (for service responses)
// skips unknown members and keeps defaults for missing ones.
#include <nlohmann/json.hpp>

#include <stdexcept>
#include <string>
#include <type_traits>

#include "aws/shape.hpp"

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
  throw JsonInputError("Invalid type for parameter " + where + ", value: " + j.dump() +
                       ", type: " + type_name(j) + ", valid types: " + expected);
}

template <class M>
void value_from_json(const Json& j, M& out, const std::string& where, bool strict);

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
        throw JsonInputError("Unknown parameter in " + (where.empty() ? std::string("input") : where) +
                             ": \"" + key + "\", must be one of: " + names);
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
          throw JsonInputError("Missing required parameter in " +
                               (where.empty() ? std::string("input") : where) + ": \"" + name + "\"");
        }
      }
      return;
    }
    value_from_json(*it, out.*(f.member), member_where, strict);
  });
}

template <class M>
void value_from_json(const Json& j, M& out, const std::string& where, bool strict) {
  if constexpr (is_optional<M>::value) {
    typename M::value_type value{};
    value_from_json(j, value, where, strict);
    out = std::move(value);
  } else if constexpr (is_vector<M>::value) {
    out.clear();
    if (!j.is_array()) {
      if (!strict) return;
      type_error(where, j, "list");
    }
    for (std::size_t i = 0; i < j.size(); ++i) {
      value_from_json(j[i], out.emplace_back(), where + "[" + std::to_string(i) + "]", strict);
    }
  } else if constexpr (Described<M>) {
    struct_from_json(j, out, where, strict);
  } else if constexpr (std::is_same_v<M, bool>) {
    if (!j.is_boolean()) {
      if (!strict) return;
      type_error(where, j, "bool");
    }
    out = j.get<bool>();
  } else if constexpr (std::is_integral_v<M>) {
    if (!j.is_number_integer()) {
      if (!strict) return;
      type_error(where, j, "int");
    }
    out = j.get<M>();
  } else if constexpr (std::is_floating_point_v<M>) {
    if (!j.is_number()) {
      if (!strict) return;
      type_error(where, j, "float");
    }
    out = j.get<M>();
  } else {
    static_assert(std::is_same_v<M, std::string>, "unsupported member type");
    if (!j.is_string()) {
      if (!strict) return;
      type_error(where, j, "str");
    }
    out = j.get<std::string>();
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
