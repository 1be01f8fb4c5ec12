#pragma once
// NAT gateways and the search for the test subnets behind them.
//
// For one VPC: every available public NAT gateway (one per subnet), the
// subnets whose route tables route to it, and among those the first one of
// EC2's describe_subnets answer that lies in the NAT gateway's own
// availability zone. One test configuration entry per NAT
// gateway goes to Globals.TEST_CONFIG and, with an S3 bucket, to S3: the file
// is copied into backup_folder/vpc under its base name and uploaded from there
// to the key backups/<vpc>/<base name>.
//
// The search stops the run (ERROR record, ProgramExit{1}, nothing written)
// when the VPC has no available public NAT gateway, or a NAT gateway has no
// routed subnet or none in its zone. Other failures (a refused EC2 request,
// a file that cannot be written, a failed upload) are thrown.
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "aws/ec2.hpp"
#include "aws/s3.hpp"
#include "lib/search_args.hpp"

namespace qvn {

class NatGwInfo {
 public:
  NatGwInfo(std::string nat_gw_id, std::string subnet_id, std::string public_ip, std::string private_ip);

  std::string nat_gw_id;
  std::string nat_gw_ip;
  std::string nat_gw_public_ip;
  std::string subnet_id;
  std::optional<std::string> subnet_cidr;
  std::string private_subnet_id;
  std::vector<std::string> private_subnets;
  std::string private_subnet_cidr;
  std::string private_subnet_gw_ip;
  std::string az;

  nlohmann::ordered_json toDict() const;
};

// NAT gateway ID -> record, in the order of the NAT gateways' subnets.
using NatGwMap = std::vector<NatGwInfo>;

class Nat {
 public:
  // The VPC's available NAT gateways, optionally only those with the tag
  // "key:value" (a tag without ':' is refused with std::invalid_argument).
  static std::vector<aws::NatGateway> get_existing_natgws(const aws::Ec2Client& ec2_client,
                                                          const std::optional<std::string>& nat_gw_tag,
                                                          const std::string& vpc);
  // The VPC's public NAT gateways with their subnets' CIDR and zone; the
  // later of two NAT gateways in one subnet wins. Stops the run when none.
  static NatGwMap get_natgw_infos(const aws::Ec2Client& ec2_client, const std::string& vpc);
  // The whole search: file at Globals.TEST_CONFIG, then the upload.
  static void findNatGws(const SearchArgs& args, const aws::Ec2Client& ec2_client, const aws::S3Client& s3_client);
};

}  // namespace qvn
