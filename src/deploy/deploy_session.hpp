#pragma once
// probe_deploy's AWS identities: the deployment account (plain or assumed
// role) and the workflow account whose SSM Parameter Store holds the
// workflow's private keys.
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "aws/ec2.hpp"
#include "aws/session.hpp"
#include "http/http_transport.hpp"
#include "lib/role_session.hpp"

namespace qvn::deploy {

inline constexpr const char* kIdentityDocumentPath = "/latest/dynamic/instance-identity/document";
inline constexpr const char* kNoMetadataMessage = "  **Error** failed to deduce workflow account number from meta data";

// The EC2 client of a deployment: this many attempts per call, and for
// RunInstances adaptive retries (a client-side send rate that backs off when
// EC2 throttles), so that dozens of concurrent launches ride out its rate
// limit. The other calls keep the standard mode: EC2 limits each action on
// its own, and the launches' send rate must not hold up the status polls.
inline constexpr int kDeploymentEc2Attempts = 12;

// The role `assume_role` assumed with the credentials of `profile` (absent:
// the default chain). See lib/role_session.hpp for what is thrown and what
// is returned.
AwsSessionResult start_aws_session(const std::string& assume_role,
                                   const std::optional<std::string>& profile = std::nullopt);

// A plain session on the credentials profile `profile` (absent: the default
// chain). Sends nothing.
std::shared_ptr<aws::Session> plainSession(const std::optional<std::string>& profile);

// The instance identity document of the host, through the instance metadata
// service: a session token is asked for first (short time limit), and plain
// GETs are used only where the token endpoint is absent. An answer other
// than 200 logs kNoMetadataMessage at INFO and ends the program with status
// 1. An unreachable service or a body that is not a JSON object is thrown
// as a failure naming the document. `transport` null: the process-wide one.
nlohmann::json get_aws_metadata(std::shared_ptr<http::HttpTransport> transport = nullptr);

// EC2's documented bucket of the non-mutating calls (Describe*): 100 at
// once, then 20 a second. The deployment's look-ups keep inside it (a
// revert of 64 subnets asks about twice that many at once), so none is
// throttled and backed off.
inline constexpr aws::RateCeiling kEc2DescribeCeiling{100, 20};

// The deployment's EC2 client options: kDeploymentEc2Attempts, RunInstances
// in adaptive mode with a send rate of its own, every other call in
// standard mode, the non-mutating calls under kEc2DescribeCeiling.
aws::ClientOptions deploymentEc2Options(const std::optional<std::string>& region);

// The deployment's EC2 client, made with deploymentEc2Options. Every client
// of the session draws on its retry budget.
aws::Ec2Client deploymentEc2Client(const std::shared_ptr<aws::Session>& session,
                                   const std::optional<std::string>& region);

}  // namespace qvn::deploy
