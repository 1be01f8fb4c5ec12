#pragma once
// What every step of one probe_deploy run works with: the deployment
// account's clients, the read-only arguments, the machine image and VPC of
// the test configuration, and the run's tally. The main flow makes it once
// (deploy_main); the deployment and the teardown fill in the VPC when they
// have looked it up, and hand it to every step by const reference. Shared
// read-only by every worker: the clients are safe to use from several
// threads at once, and so is the tally.
#include <optional>
#include <string>

#include "aws/ec2.hpp"
#include "aws/iam.hpp"
#include "aws/s3.hpp"
#include "aws/sts.hpp"
#include "core/run_summary.hpp"
#include "deploy/deploy_args.hpp"

namespace qvn::deploy {

struct RunContext {
  const DeployArgs& args;
  aws::Ec2Client ec2;
  aws::IamClient iam;
  // Asked for the caller's account (GetCallerIdentity, which changes nothing
  // in the client although it is not declared const).
  mutable aws::StsClient sts;
  // The workflow account's S3 client, for the private key's copy; none: the
  // bucket is not used.
  std::optional<aws::S3Client> s3{};
  // The image of the test instances (a deployment; none in a revert).
  std::optional<aws::Image> image{};
  // The VPC of the configuration's first entry, once the flow has looked it up.
  std::string vpc_id{};
  // Where the run counts what it creates, adopts, removes or leaves; none:
  // nothing is counted.
  core::RunTally* tally = nullptr;

  // Counts one change; with an id the resource is kept by it, with the test
  // subnet of the worker that changed it (none for the run's own thread).
  void count(core::Change change, const char* kind, const std::string& id = "") const;
  // Notes a file the run wrote (the summary's paths).
  void notePath(const char* label, const std::string& path) const;
};

}  // namespace qvn::deploy
