#include "deploy/deploy_session.hpp"

#include <stdexcept>

#include "aws/imds.hpp"
#include "aws/service_client.hpp"
#include "core/logging.hpp"
#include "core/run_outcome.hpp"
#include "lib/call_log.hpp"

namespace qvn::deploy {

AwsSessionResult start_aws_session(const std::string& assume_role, const std::optional<std::string>& profile) {
  return assumeRoleSession(assume_role, profile);
}

std::shared_ptr<aws::Session> plainSession(const std::optional<std::string>& profile) {
  return aws::Session::create(aws::SessionOptions{profile, std::nullopt, nullptr, makeCallLog()});
}

nlohmann::json get_aws_metadata(std::shared_ptr<http::HttpTransport> transport) {
  Logger& log = packageLogger();
  if (!transport) transport = http::default_http_transport();
  aws::ImdsClient imds(transport, aws::ImdsSettings::from_environment());
  const std::optional<std::string> answer = imds.document(kIdentityDocumentPath);
  if (!answer) {
    log.info(kNoMetadataMessage);
    throw ProgramExit{1};
  }
  nlohmann::json document = nlohmann::json::parse(*answer, nullptr, false);
  if (document.is_discarded() || !document.is_object()) {
    throw std::runtime_error(std::string("the instance identity document (") + kIdentityDocumentPath +
                             ") is not a JSON object");
  }
  return document;
}

aws::ClientOptions deploymentEc2Options(const std::optional<std::string>& region) {
  aws::ClientOptions options;
  options.region = region;
  options.max_attempts = kDeploymentEc2Attempts;
  options.adaptive_retries = false;
  options.adaptive_operations = {"RunInstances"};
  options.read_rate_ceiling = kEc2DescribeCeiling;
  return options;
}

aws::Ec2Client deploymentEc2Client(const std::shared_ptr<aws::Session>& session,
                                   const std::optional<std::string>& region) {
  return aws::Ec2Client(
      std::make_shared<aws::ServiceClient>(session, aws::Ec2Client::service_id(), deploymentEc2Options(region)));
}

}  // namespace qvn::deploy
