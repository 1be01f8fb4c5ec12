#pragma once
// The sandbox's STS: AssumeRole (and AssumeRoleWithWebIdentity) for the roles
// the scenario makes assumable, issuing temporary credentials that the
// sandbox then accepts; GetCallerIdentity.
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "service.hpp"

namespace qvn::sandbox {

// A role that STS lets callers assume, with the principals it trusts.
struct AssumableRole {
  std::string arn;
  std::vector<std::string> trusted;  // account ids, principal ARNs or "*"
  int max_session_duration = 3600;
  bool web_identity = false;       // assumable with a web identity token
  std::string web_identity_token;  // when set, the only token accepted
};

// The session credentials STS hands out, and their entry in the key registry.
struct TemporaryCredentials {
  std::string access_key, secret_key, session_token;
  Clock::time_point expiration;
};
// Makes credentials for `arn` (an assumed-role ARN) in `account_id`,
// registers them in `keys` and returns them.
TemporaryCredentials issue_temporary_credentials(KeyRegistry& keys, const std::string& account_id,
                                                 const std::string& arn, std::chrono::seconds lifetime);

// "arn:aws:iam::123456789012:role/path/name" -> account id and role name.
struct RoleArn {
  std::string account_id, name;
};
RoleArn parse_role_arn(const std::string& arn);  // throws ApiError (ValidationError)

class StsService final : public Service {
 public:
  std::string name() const override { return "sts"; }
  AwsReply handle(const AwsCall& call) override;
  AwsReply render_error(const ApiError& error, const std::string& request_id) const override;
  void load(const Json& scenario, World& world) override;
  Json dump() const override;

 private:
  AwsReply assume_role(const AwsCall& call, bool web_identity);
  AwsReply get_caller_identity(const AwsCall& call);
  AwsReply decode_authorization_message(const AwsCall& call);
  bool trusts(const AssumableRole& role, const AwsCall& call) const;

  mutable std::mutex mutex_;
  World* world_ = nullptr;
  std::map<std::string, AssumableRole> roles_;  // by ARN
  int lifetime_override_ = 0;                   // seconds; 0: as requested
  std::vector<Json> issued_;                    // what was handed out (no secrets)
};

}  // namespace qvn::sandbox
