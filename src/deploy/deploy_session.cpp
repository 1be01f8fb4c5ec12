#include "deploy/deploy_session.hpp"

#include <stdexcept>

#include "aws/imds.hpp"
#include "aws/service_client.hpp"
#include "core/logging.hpp"
#include "core/run_outcome.hpp"

namespace qvn::deploy {

AwsSessionResult start_aws_session(const std::string& assume_role, const std::optional<std::string>& profile) {
  return assumeRoleSession(assume_role, profile);
}

std::shared_ptr<aws::Session> plainSession(const std::optional<std::string>& profile) {
  return aws::Session::create(aws::SessionOptions{profile, std::nullopt, nullptr});
}

nlohmann::json get_aws_metadata(std::shared_ptr<aws::HttpTransport> transport) {
  Logger& log = *getLogger("quorvane_testlibs");
  if (!transport) transport = aws::default_http_transport();
  aws::ImdsClient imds(transport, aws::ImdsSettings::from_environment());
  const aws::HttpResponse answer = imds.get(kIdentityDocumentPath);
  if (answer.status != 200) {
    log.info(kNoMetadataMessage);
    throw ProgramExit{1};
  }
  nlohmann::json document = nlohmann::json::parse(answer.body, nullptr, false);
  if (document.is_discarded() || !document.is_object()) {
    throw std::runtime_error(std::string("the instance identity document (") + kIdentityDocumentPath +
                             ") is not a JSON object");
  }
  return document;
}

namespace {

// Sends the throttled launches through an adaptive client and every other
// call through a standard one: EC2 limits each action on its own, so the
// launches' client-side send rate must not slow down the waiters' polls.
class DeploymentEc2Sender : public aws::OperationSender {
 public:
  DeploymentEc2Sender(const std::shared_ptr<aws::Session>& session, const std::optional<std::string>& region)
      : launches_(session, aws::Ec2Client::service_id(), options(region, true)),
        others_(session, aws::Ec2Client::service_id(), options(region, false)) {}

  aws::OperationResponse send(const aws::OperationRequest& request) override {
    return request.operation == "RunInstances" ? launches_.send(request) : others_.send(request);
  }
  const aws::ServiceId& service() const override { return others_.service(); }
  const std::string& region() const override { return others_.region(); }

 private:
  static aws::ClientOptions options(const std::optional<std::string>& region, bool adaptive) {
    aws::ClientOptions options;
    options.region = region;
    options.max_attempts = kDeploymentEc2Attempts;
    options.adaptive_retries = adaptive;
    return options;
  }

  aws::ServiceClient launches_;
  aws::ServiceClient others_;
};

}  // namespace

aws::Ec2Client deploymentEc2Client(const std::shared_ptr<aws::Session>& session,
                                   const std::optional<std::string>& region) {
  return aws::Ec2Client(std::make_shared<DeploymentEc2Sender>(session, region));
}

}  // namespace qvn::deploy
