#pragma once
// The sandbox's SSM Parameter Store over JSON 1.1 (X-Amz-Target
// AmazonSSM.*): String, StringList and SecureString parameters with their
// versions, per account and region, plus AWS's public parameters under
// /aws/service/ that every account can read.
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "service.hpp"

namespace qvn::sandbox {

struct SsmParameterVersion {
  std::string value;
  long version = 1;
  Clock::time_point modified;
};

struct SsmParameter {
  std::string name, type = "String", account_id, region;  // empty account: public; empty region: every region
  std::vector<SsmParameterVersion> versions;              // oldest first
};

class SsmService final : public Service {
 public:
  std::string name() const override { return "ssm"; }
  AwsReply handle(const AwsCall& call) override;
  AwsReply render_error(const ApiError& error, const std::string& request_id) const override;
  void load(const Json& scenario, World& world) override;
  Json dump() const override;

 private:
  std::vector<SsmParameter*> visible(const AwsCall& call);
  SsmParameter* find(const AwsCall& call, const std::string& name);
  Json render(const AwsCall& call, const SsmParameter& p, const SsmParameterVersion& v, bool decrypt) const;

  Json get_parameter(const AwsCall& call, const Json& in);
  Json get_parameters(const AwsCall& call, const Json& in);
  Json get_parameters_by_path(const AwsCall& call, const Json& in);
  Json put_parameter(const AwsCall& call, const Json& in);
  Json delete_parameter(const AwsCall& call, const Json& in);

  mutable std::mutex mutex_;
  std::vector<SsmParameter> parameters_;
  std::string default_account_;
};

}  // namespace qvn::sandbox
