#pragma once
// STS client: AssumeRole, AssumeRoleWithWebIdentity, GetCallerIdentity.
// Request and result members carry STS's own names.
#include <memory>
#include <optional>
#include <string>

#include "aws/operation.hpp"

namespace qvn::aws {

class Session;

namespace sts {

struct Credentials {
  std::string AccessKeyId;
  std::string SecretAccessKey;
  std::string SessionToken;
  std::string Expiration;  // ISO 8601, as sent
};

struct AssumedRoleUser {
  std::string AssumedRoleId;
  std::string Arn;
};

struct AssumeRoleRequest {
  std::string RoleArn;
  std::string RoleSessionName;
  std::optional<int> DurationSeconds{};
  std::optional<std::string> ExternalId{};
  std::optional<std::string> Policy{};
  std::optional<std::string> SerialNumber{};
  std::optional<std::string> TokenCode{};
};

struct AssumeRoleResult {
  std::optional<sts::Credentials> Credentials;  // absent when the answer has none
  std::optional<sts::AssumedRoleUser> AssumedRoleUser;
  std::optional<int> PackedPolicySize;
  std::string RequestId;
};

struct AssumeRoleWithWebIdentityRequest {
  std::string RoleArn;
  std::string RoleSessionName;
  std::string WebIdentityToken;
  std::optional<int> DurationSeconds;
  std::optional<std::string> ProviderId;
  std::optional<std::string> Policy;
};

struct AssumeRoleWithWebIdentityResult {
  std::optional<sts::Credentials> Credentials;
  std::optional<sts::AssumedRoleUser> AssumedRoleUser;
  std::string SubjectFromWebIdentityToken;
  std::string Provider;
  std::string Audience;
  std::string RequestId;
};

struct DecodeAuthorizationMessageResult {
  std::string DecodedMessage;  // a JSON document, as sent
  std::string RequestId;
};

struct GetCallerIdentityResult {
  std::string UserId;
  std::string Account;
  std::string Arn;
  std::string RequestId;
};

}  // namespace sts

const ServiceId& sts_service_id();

class StsClient {
 public:
  // A client of the session (region: the given one, else the session's;
  // with none at all, the global endpoint).
  explicit StsClient(std::shared_ptr<Session> session, std::optional<std::string> region = std::nullopt);
  // Any sender (tests give a fake one).
  explicit StsClient(std::shared_ptr<OperationSender> sender);

  sts::AssumeRoleResult assume_role(const sts::AssumeRoleRequest& request);
  // Sent unsigned, as it needs no credentials of the caller.
  sts::AssumeRoleWithWebIdentityResult assume_role_with_web_identity(
      const sts::AssumeRoleWithWebIdentityRequest& request);
  sts::GetCallerIdentityResult get_caller_identity();
  // The message that a refusal such as UnauthorizedOperation carries encoded.
  sts::DecodeAuthorizationMessageResult decode_authorization_message(const std::string& EncodedMessage);

  const std::string& region() const { return sender_->region(); }

 private:
  std::shared_ptr<OperationSender> sender_;
  std::shared_ptr<OperationSender> unsigned_sender_;
};

}  // namespace qvn::aws
