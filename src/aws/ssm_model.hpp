#pragma once
// SSM Parameter Store request and result structures, with AWS's member
// names (see shape.hpp). Members are in the order the SDKs send them.
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "aws/shape.hpp"

#define F QVN_FIELD

namespace qvn::aws {

struct Parameter {
  std::optional<std::string> Name{};
  std::optional<std::string> Type{};
  std::optional<std::string> Value{};
  std::optional<long long> Version{};
  std::optional<std::string> Selector{};
  std::optional<std::string> SourceResult{};
  // Seconds since the epoch, as SSM sends it (a JSON number, possibly fractional).
  std::optional<double> LastModifiedDate{};
  std::optional<std::string> ARN{};
  std::optional<std::string> DataType{};
  static constexpr auto fields() {
    using T = Parameter;
    return std::tuple{F(T, Name),
                      F(T, Type),
                      F(T, Value),
                      F(T, Version),
                      F(T, Selector),
                      F(T, SourceResult),
                      F(T, LastModifiedDate),
                      F(T, ARN),
                      F(T, DataType)};
  }
};

struct GetParameterRequest {
  std::string Name{};
  std::optional<bool> WithDecryption{};
  static constexpr auto fields() {
    return std::tuple{F(GetParameterRequest, Name), F(GetParameterRequest, WithDecryption)};
  }
};

struct GetParameterResult {
  std::optional<aws::Parameter> Parameter{};
  static constexpr auto fields() { return std::tuple{F(GetParameterResult, Parameter)}; }
};

struct GetParametersByPathRequest {
  std::string Path{};
  std::optional<bool> Recursive{};
  std::optional<bool> WithDecryption{};
  std::optional<int> MaxResults{};
  std::optional<std::string> NextToken{};
  static constexpr auto fields() {
    using T = GetParametersByPathRequest;
    return std::tuple{F(T, Path), F(T, Recursive), F(T, WithDecryption), F(T, MaxResults), F(T, NextToken)};
  }
};

struct GetParametersByPathResult {
  std::vector<aws::Parameter> Parameters{};
  std::optional<std::string> NextToken{};
  static constexpr auto fields() {
    return std::tuple{F(GetParametersByPathResult, Parameters), F(GetParametersByPathResult, NextToken)};
  }
};

}  // namespace qvn::aws

#undef F
