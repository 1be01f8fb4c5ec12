#pragma once
// The sandbox's IAM: managed policies, roles, instance profiles, their
// attachments and tags, per account, over the query protocol (2010-05-08).
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "query_xml.hpp"
#include "service.hpp"

namespace qvn::sandbox {

struct IamPolicy {
  std::string name, path, arn, id, document, description;
  Pairs tags;
  Clock::time_point created, updated;
  int attachment_count = 0;
  bool aws_managed = false;
};

struct IamRole {
  std::string name, path, arn, id, trust_document, description;
  int max_session_duration = 3600;
  Pairs tags;
  Clock::time_point created;
  std::vector<std::string> attached;  // policy ARNs, in attachment order
};

struct IamInstanceProfile {
  std::string name, path, arn, id;
  Pairs tags;
  Clock::time_point created;
  std::vector<std::string> roles;  // role names (at most one)
};

// One account's IAM objects. Names are unique without regard to case, as
// on AWS, so the maps are keyed by the lower-cased name (policies by ARN).
struct IamAccount {
  std::map<std::string, IamPolicy> policies;
  std::map<std::string, IamRole> roles;
  std::map<std::string, IamInstanceProfile> profiles;
};

class IamService final : public Service, public InstanceProfileDirectory {
 public:
  std::string name() const override { return "iam"; }
  AwsReply handle(const AwsCall& call) override;
  AwsReply render_error(const ApiError& error, const std::string& request_id) const override;
  void load(const Json& scenario, World& world) override;
  Json dump() const override;

  std::optional<Clock::time_point> instance_profile_created(const std::string& account_id,
                                                            const std::string& name) const override;

 private:
  using Handler = AwsReply (IamService::*)(const AwsCall&, IamAccount&);
  IamAccount& account(const std::string& account_id);
  void load_account_objects(const Json& iam, const std::string& default_account);

  AwsReply create_policy(const AwsCall& call, IamAccount& acct);
  AwsReply get_policy(const AwsCall& call, IamAccount& acct);
  AwsReply delete_policy(const AwsCall& call, IamAccount& acct);
  AwsReply list_policies(const AwsCall& call, IamAccount& acct);
  AwsReply create_role(const AwsCall& call, IamAccount& acct);
  AwsReply get_role(const AwsCall& call, IamAccount& acct);
  AwsReply delete_role(const AwsCall& call, IamAccount& acct);
  AwsReply attach_role_policy(const AwsCall& call, IamAccount& acct);
  AwsReply detach_role_policy(const AwsCall& call, IamAccount& acct);
  AwsReply list_attached_role_policies(const AwsCall& call, IamAccount& acct);
  AwsReply create_instance_profile(const AwsCall& call, IamAccount& acct);
  AwsReply get_instance_profile(const AwsCall& call, IamAccount& acct);
  AwsReply delete_instance_profile(const AwsCall& call, IamAccount& acct);
  AwsReply add_role_to_instance_profile(const AwsCall& call, IamAccount& acct);
  AwsReply remove_role_from_instance_profile(const AwsCall& call, IamAccount& acct);
  AwsReply list_instance_profiles_for_role(const AwsCall& call, IamAccount& acct);

  mutable std::mutex mutex_;
  std::map<std::string, IamAccount> accounts_;
  std::vector<std::pair<std::string, std::string>> aws_policies_;  // name, path
};

}  // namespace qvn::sandbox
