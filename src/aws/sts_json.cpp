#include "aws/sts_json.hpp"

#include <tuple>

#define F QVN_FIELD

namespace qvn::aws {
namespace {

// The members the command line accepts, described for the JSON conversion.
struct AssumeRoleInput {
  std::string RoleArn{};
  std::string RoleSessionName{};
  std::optional<int> DurationSeconds{};
  std::optional<std::string> ExternalId{};
  std::optional<std::string> Policy{};
  std::optional<std::string> SerialNumber{};
  std::optional<std::string> TokenCode{};
  static constexpr auto fields() {
    using T = AssumeRoleInput;
    return std::tuple{F(T, RoleArn), F(T, RoleSessionName), F(T, DurationSeconds), F(T, ExternalId),
                      F(T, Policy),  F(T, SerialNumber),    F(T, TokenCode)};
  }
};

shape::Json assume_role(StsClient& sts, const shape::Json& input) {
  const auto in = shape::from_json_strict<AssumeRoleInput>(input);
  sts::AssumeRoleRequest request;
  request.RoleArn = in.RoleArn;
  request.RoleSessionName = in.RoleSessionName;
  request.DurationSeconds = in.DurationSeconds;
  request.ExternalId = in.ExternalId;
  request.Policy = in.Policy;
  request.SerialNumber = in.SerialNumber;
  request.TokenCode = in.TokenCode;
  const sts::AssumeRoleResult result = sts.assume_role(request);
  shape::Json out = shape::Json::object();
  if (result.Credentials) {
    out["Credentials"] = {{"AccessKeyId", result.Credentials->AccessKeyId},
                          {"SecretAccessKey", result.Credentials->SecretAccessKey},
                          {"SessionToken", result.Credentials->SessionToken},
                          {"Expiration", result.Credentials->Expiration}};
  }
  if (result.AssumedRoleUser) {
    out["AssumedRoleUser"] = {{"AssumedRoleId", result.AssumedRoleUser->AssumedRoleId},
                              {"Arn", result.AssumedRoleUser->Arn}};
  }
  if (result.PackedPolicySize) out["PackedPolicySize"] = *result.PackedPolicySize;
  return out;
}

// No input members: anything given is refused as for any operation.
struct NoInput {
  static constexpr auto fields() { return std::tuple{}; }
};

shape::Json get_caller_identity(StsClient& sts, const shape::Json& input) {
  shape::from_json_strict<NoInput>(input);
  const sts::GetCallerIdentityResult result = sts.get_caller_identity();
  return {{"UserId", result.UserId}, {"Account", result.Account}, {"Arn", result.Arn}};
}

struct DecodeAuthorizationMessageInput {
  std::string EncodedMessage{};
  static constexpr auto fields() { return std::tuple{F(DecodeAuthorizationMessageInput, EncodedMessage)}; }
};

shape::Json decode_authorization_message(StsClient& sts, const shape::Json& input) {
  const auto in = shape::from_json_strict<DecodeAuthorizationMessageInput>(input);
  return {{"DecodedMessage", sts.decode_authorization_message(in.EncodedMessage).DecodedMessage}};
}

}  // namespace

std::vector<JsonOperation> sts_json_operations(const std::shared_ptr<StsClient>& client) {
  return {
      {"assume_role", "AssumeRole", [client](const shape::Json& input, Pages) { return assume_role(*client, input); }},
      {"get_caller_identity", "GetCallerIdentity",
       [client](const shape::Json& input, Pages) { return get_caller_identity(*client, input); }},
      {"decode_authorization_message", "DecodeAuthorizationMessage",
       [client](const shape::Json& input, Pages) { return decode_authorization_message(*client, input); }}};
}

}  // namespace qvn::aws

#undef F
