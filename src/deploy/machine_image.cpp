#include "deploy/machine_image.hpp"

#include "core/logging.hpp"
#include "core/run_outcome.hpp"
#include "deploy/failure_report.hpp"

namespace qvn::deploy {

namespace {

// `region` is where the lookup was made ("" when not known): an image name
// that exists in one region only reads like a missing image elsewhere.
[[noreturn]] void imageNotFound(Logger& log, const std::string& image, const std::string& region) {
  logError("Failed to find image " + image);
  if (!region.empty())
    log.info("  No image named " + image + " is offered in region " + region + ": check --region and --image");
  throw ProgramExit{1};
}

}  // namespace

std::string getAMIByName(const aws::Ec2Client& ec2_client, const DeployArgs& args) {
  return *getImageByName(ec2_client, args).ImageId;
}

aws::Image getImageByName(const aws::Ec2Client& ec2_client, const DeployArgs& args) {
  Logger& log = packageLogger();
  log.info("- Lookup AMI for " + args.image);
  aws::DescribeImagesRequest request;
  request.ExecutableUsers = {"all"};
  request.Filters = {aws::Filter{"name", {args.image}}};
  request.Owners = {"amazon"};
  request.IncludeDeprecated = false;
  const auto answer = ec2_client.describe_images(request);
  for (const auto& image : answer.Images) {
    if (!image.ImageId || image.ImageId->empty()) continue;
    log.info("  " + *image.ImageId);
    return image;
  }
  imageNotFound(log, args.image, ec2_client.sender().region());
}

std::string getAMI(const aws::SsmClient& ssm_client, const DeployArgs& args) {
  Logger& log = packageLogger();
  log.info("- Lookup AMI for " + args.image);
  aws::GetParametersByPathRequest request;
  request.Path = "/aws/service/ami-amazon-linux-latest";
  const auto answer = ssm_client.get_parameters_by_path(request, aws::Pages::One);
  for (const auto& parameter : answer.Parameters) {
    if (!parameter.Name || !parameter.Value || !parameter.Name->ends_with(args.image)) continue;
    log.info("  " + *parameter.Value);
    return *parameter.Value;
  }
  imageNotFound(log, args.image, ssm_client.sender().region());
}

}  // namespace qvn::deploy
