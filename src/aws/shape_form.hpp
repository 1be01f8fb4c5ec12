#pragma once
// Writing a described request as the decoded form fields of the EC2 and
// query protocols ("SubnetId.1" = "subnet-1", "Tags.member.1.Key" = "k").
//
// EC2: a member goes out under its query name (or its own name); lists are
// Name.N, 1-based. Query protocol (IAM, STS): the member's own name; lists
// are Name.member.N. Absent optional members and empty lists are never sent
// (a list member cannot tell absent from empty, and for the operations here
// both mean the same to the service).
#include <string>
#include <type_traits>

#include "aws/operation.hpp"
#include "aws/shape.hpp"

namespace qvn::aws::shape {

enum class FormDialect { Ec2, Query };

namespace form_detail {

template <class M>
void write_value(HeaderList& out, const std::string& name, const M& value, FormDialect dialect);

template <Described T>
void write_struct(HeaderList& out, const std::string& prefix, const T& value, FormDialect dialect) {
  for_each_field<T>([&](const auto& f) {
    const std::string_view wire = (dialect == FormDialect::Ec2 && !f.query_name.empty()) ? f.query_name : f.name;
    write_value(out, prefix + std::string(wire), value.*(f.member), dialect);
  });
}

template <class M>
void write_value(HeaderList& out, const std::string& name, const M& value, FormDialect dialect) {
  if constexpr (is_optional<M>::value) {
    if (value) write_value(out, name, *value, dialect);
  } else if constexpr (is_vector<M>::value) {
    if (value.empty()) return;
    const std::string base = dialect == FormDialect::Query ? name + ".member." : name + ".";
    for (std::size_t i = 0; i < value.size(); ++i) {
      write_value(out, base + std::to_string(i + 1), value[i], dialect);
    }
  } else if constexpr (Described<M>) {
    write_struct(out, name + ".", value, dialect);
  } else if constexpr (std::is_same_v<M, bool>) {
    out.emplace_back(name, value ? "true" : "false");
  } else if constexpr (std::is_integral_v<M>) {
    out.emplace_back(name, std::to_string(value));
  } else {
    static_assert(std::is_convertible_v<M, std::string>, "unsupported member type");
    out.emplace_back(name, std::string(value));
  }
}

}  // namespace form_detail

// Appends the fields of `request` to `out`.
template <Described T>
void write_form(HeaderList& out, const T& request, FormDialect dialect) {
  form_detail::write_struct(out, "", request, dialect);
}

template <Described T>
HeaderList to_form(const T& request, FormDialect dialect) {
  HeaderList out;
  write_form(out, request, dialect);
  return out;
}

}  // namespace qvn::aws::shape
