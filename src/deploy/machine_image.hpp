#pragma once
// The machine image of the test instances, looked up by its name.
#include <string>

#include "aws/ec2.hpp"
#include "aws/ssm.hpp"
#include "deploy/deploy_args.hpp"

namespace qvn::deploy {

// The id of the public, Amazon-owned, not deprecated image named
// `args.image` in the client's region: the first one of EC2's answer.
// None: logs "  **Error** Failed to find image <name>" at ERROR, then at
// INFO that no image of that name is offered in the client's region, and
// throws ProgramExit{1}. A refused request is raised as it is.
std::string getAMIByName(const aws::Ec2Client& ec2_client, const DeployArgs& args);

// The same lookup, answering the whole image (its architecture among the rest).
aws::Image getImageByName(const aws::Ec2Client& ec2_client, const DeployArgs& args);

// The same through AWS's public SSM parameters of its Amazon Linux images
// (one page of /aws/service/ami-amazon-linux-latest): the value of the first
// parameter whose name ends with `args.image`.
std::string getAMI(const aws::SsmClient& ssm_client, const DeployArgs& args);

}  // namespace qvn::deploy
