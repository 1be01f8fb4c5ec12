// The XML answer readers of EC2, IAM, STS and S3 and the error-body reader of
// every protocol, fed arbitrary bodies. A reader may refuse a body only with
// the client's own error types; anything else escaping is a finding.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "aws/ec2.hpp"
#include "aws/errors.hpp"
#include "aws/protocol.hpp"
#include "aws/iam.hpp"
#include "aws/paginator.hpp"
#include "aws/s3.hpp"
#include "aws/sts.hpp"
#include "fuzz_support.hpp"

using namespace qvn;
using namespace qvn::aws;

namespace {

template <class F>
void expect_clean(F&& call) {
  try {
    call();
  } catch (const AwsError&) {
  }
}

void read_error_bodies(const std::string& body) {
  const HeaderList headers = {{"x-amzn-RequestId", "r"}, {"x-amzn-ErrorType", "Fuzz:http://x/"}};
  for (Protocol p : {Protocol::Ec2, Protocol::Query, Protocol::Json, Protocol::RestXml}) {
    for (long status : {400L, 403L, 404L, 500L, 503L}) {
      const ServiceErrorInfo info = parse_error_response(p, status, headers, body);
      fuzz::check(!info.code.empty(), "an error without a code");
      fuzz::check(info.status == status, "the error lost its HTTP status");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string body(reinterpret_cast<const char*>(data), size);
  read_error_bodies(body);

  const Ec2Client ec2(std::make_shared<fuzz::EchoSender>(Ec2Client::service_id(), body));
  expect_clean([&] { ec2.describe_subnets({}, Pages::One); });
  expect_clean([&] { ec2.describe_images(); });
  expect_clean([&] { ec2.describe_instances({}, Pages::One); });
  expect_clean([&] { ec2.run_instances({}); });
  expect_clean([&] { ec2.terminate_instances({}); });
  expect_clean([&] { ec2.describe_instance_status({}, Pages::One); });
  expect_clean([&] { ec2.describe_key_pairs(); });
  expect_clean([&] { ec2.create_key_pair({}); });
  expect_clean([&] { ec2.describe_security_groups({}, Pages::One); });
  expect_clean([&] { ec2.create_security_group({}); });
  expect_clean([&] { ec2.authorize_security_group_ingress({}); });
  expect_clean([&] { ec2.allocate_address(); });
  expect_clean([&] { ec2.associate_address({}); });
  expect_clean([&] { ec2.describe_addresses(); });
  expect_clean([&] { ec2.describe_nat_gateways({}, Pages::One); });
  expect_clean([&] { ec2.describe_route_tables({}, Pages::One); });
  expect_clean([&] { ec2.describe_network_interfaces({}, Pages::One); });

  const IamClient iam(std::make_shared<fuzz::EchoSender>(IamClient::service_id(), body));
  expect_clean([&] { iam.create_policy({}); });
  expect_clean([&] { iam.create_role({}); });
  expect_clean([&] { iam.create_instance_profile({}); });
  expect_clean([&] { iam.list_policies({}, Pages::One); });
  expect_clean([&] { iam.list_instance_profiles_for_role({}, Pages::One); });

  StsClient sts(std::make_shared<fuzz::EchoSender>(sts_service_id(), body));
  expect_clean([&] { sts.assume_role({}); });
  expect_clean([&] { sts.get_caller_identity(); });

  const S3Client s3(std::make_shared<fuzz::EchoSender>(S3Client::service_id(), body));
  expect_clean([&] { s3.list_objects_v2({}); });
  return 0;
}
