// The typed clients made from a session: each sends through its own
// ServiceClient, which shares the session's credentials and connections.
#include <utility>

#include "aws/ec2.hpp"
#include "aws/iam.hpp"
#include "aws/s3.hpp"
#include "aws/ssm.hpp"

namespace qvn::aws {

Ec2Client::Ec2Client(std::shared_ptr<Session> session, std::optional<std::string> region)
    : sender_(std::make_shared<ServiceClient>(std::move(session), service_id(), std::move(region))) {}

IamClient::IamClient(std::shared_ptr<Session> session, std::optional<std::string> region)
    : sender_(std::make_shared<ServiceClient>(std::move(session), service_id(), std::move(region))) {}

SsmClient::SsmClient(std::shared_ptr<Session> session, std::optional<std::string> region)
    : sender_(std::make_shared<ServiceClient>(std::move(session), service_id(), std::move(region))) {}

S3Client::S3Client(std::shared_ptr<Session> session, std::optional<std::string> region)
    : sender_(std::make_shared<ServiceClient>(std::move(session), service_id(), std::move(region))) {}

}  // namespace qvn::aws
