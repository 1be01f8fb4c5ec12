#include "lib/nat.hpp"

#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "core/logging.hpp"
#include "core/run_outcome.hpp"
#include "lib/ipv4.hpp"
#include "lib/route_tables.hpp"
#include "lib/s3.hpp"
#include "lib/test_config.hpp"

namespace qvn {

namespace {

Logger* natLog() { return getLogger("quorvane_testlibs.bin.lib.nat"); }

[[noreturn]] void stop(const std::string& message) {
  natLog()->error("  **Error** " + message);
  throw ProgramExit{1};
}

std::string text(const aws::OptString& value, const std::string& what) {
  if (!value) throw std::runtime_error("EC2 answer without " + what);
  return *value;
}

NatGwInfo* findById(NatGwMap& map, const std::string& nat_gw_id) {
  for (auto& info : map) {
    if (info.nat_gw_id == nat_gw_id) return &info;
  }
  return nullptr;
}

std::vector<aws::Subnet> describeSubnets(const aws::Ec2Client& ec2, std::vector<std::string> ids) {
  aws::DescribeSubnetsRequest request;
  request.SubnetIds = std::move(ids);
  return ec2.describe_subnets(request).Subnets;
}

// Each NAT gateway gets the subnets of the route tables that route to it.
void collectRoutedSubnets(const aws::Ec2Client& ec2, const std::string& vpc, NatGwMap& infos) {
  forEachRoutedSubnet(ec2, vpc, RouteTarget::NatGateway, [&](const std::string& nat_gw_id, const std::string& subnet) {
    if (NatGwInfo* info = findById(infos, nat_gw_id)) info->private_subnets.push_back(subnet);
  });
}

// The first subnet of the describe_subnets answer that lies in the NAT
// gateway's own zone. The answer's order, not the route tables', decides:
// that is the rule the workflows' existing configurations were made by.
void choosePrivateSubnet(const aws::Ec2Client& ec2, NatGwInfo& info) {
  if (info.private_subnets.empty()) stop("cannot find a private subnet that points to NAT gw " + info.nat_gw_id);
  for (const aws::Subnet& subnet : describeSubnets(ec2, info.private_subnets)) {
    if (subnet.AvailabilityZone != info.az) continue;
    info.private_subnet_cidr = text(subnet.CidrBlock, "CidrBlock");
    info.private_subnet_id = text(subnet.SubnetId, "SubnetId");
    info.private_subnet_gw_ip = second_address(info.private_subnet_cidr);
    break;
  }
  if (info.private_subnet_id.empty()) {
    stop("cannot find a private subnet that points to NAT gw " + info.nat_gw_id + " in the same AZ");
  }
}

// The S3 copy goes through the backup folder: the written file is copied into
// backup_folder/vpc under its base name and uploaded from there, so that its
// key is backups/<vpc>/<base name> wherever --output_test_config points.
void uploadTestConfig(const SearchArgs& args, const aws::S3Client& s3_client) {
  namespace fs = std::filesystem;
  const std::string name = fs::path(Globals.TEST_CONFIG).filename().string();
  const std::string folder = args.backup_folder + "/" + args.vpc;
  const std::string copy = folder + "/" + name;
  fs::create_directories(folder);
  std::error_code ec;
  if (!fs::equivalent(Globals.TEST_CONFIG, copy, ec)) {
    fs::copy_file(Globals.TEST_CONFIG, copy, fs::copy_options::overwrite_existing);
  }
  S3BackupCmd(s3_client, args.backup_folder, args.s3_bucket, args.vpc).uploadAFile(name);
}

}  // namespace

NatGwInfo::NatGwInfo(std::string nat_gw_id_, std::string subnet_id_, std::string public_ip, std::string private_ip)
    : nat_gw_id(std::move(nat_gw_id_)),
      nat_gw_ip(std::move(private_ip)),
      nat_gw_public_ip(std::move(public_ip)),
      subnet_id(std::move(subnet_id_)) {}

nlohmann::ordered_json NatGwInfo::toDict() const {
  nlohmann::ordered_json entry;
  entry["nat_gw_id"] = nat_gw_id;
  entry["gw_private_ip"] = nat_gw_ip;
  entry["gw_public_ip"] = nat_gw_public_ip;
  entry["gw_subnet_id"] = subnet_id;
  entry["gw_subnet_cidr"] = subnet_cidr ? nlohmann::ordered_json(*subnet_cidr) : nlohmann::ordered_json();
  entry["private_subnet_id"] = private_subnet_id;
  entry["private_subnet_cidr"] = private_subnet_cidr;
  entry["private_subnet_gw_ip"] = private_subnet_gw_ip;
  return entry;
}

std::vector<aws::NatGateway> Nat::get_existing_natgws(const aws::Ec2Client& ec2_client,
                                                      const std::optional<std::string>& nat_gw_tag,
                                                      const std::string& vpc) {
  aws::DescribeNatGatewaysRequest request;
  request.Filter = {{"vpc-id", {vpc}}, {"state", {"available"}}};
  if (nat_gw_tag && !nat_gw_tag->empty()) {
    natLog()->info("NAT gateway tag specified " + *nat_gw_tag);
    const auto colon = nat_gw_tag->find(':');
    if (colon == std::string::npos) {
      throw std::invalid_argument("NAT gateway tag \"" + *nat_gw_tag + "\" is not of the form key:value");
    }
    const std::string value = nat_gw_tag->substr(colon + 1);
    request.Filter.push_back({"tag:" + nat_gw_tag->substr(0, colon), {value.substr(0, value.find(':'))}});
  }
  return ec2_client.describe_nat_gateways(request).NatGateways;
}

NatGwMap Nat::get_natgw_infos(const aws::Ec2Client& ec2_client, const std::string& vpc) {
  NatGwMap by_subnet;  // one NAT gateway per subnet, in first-seen order
  for (const auto& gateway : get_existing_natgws(ec2_client, std::nullopt, vpc)) {
    if (gateway.ConnectivityType != "public") continue;
    if (gateway.NatGatewayAddresses.empty()) {
      throw std::runtime_error("NAT gateway " + gateway.NatGatewayId.value_or("?") + " has no address");
    }
    const auto& address = gateway.NatGatewayAddresses.front();
    NatGwInfo info(text(gateway.NatGatewayId, "NatGatewayId"), text(gateway.SubnetId, "SubnetId"),
                   text(address.PublicIp, "PublicIp"), text(address.PrivateIp, "PrivateIp"));
    bool replaced = false;
    for (auto& known : by_subnet) {
      if (known.subnet_id == info.subnet_id) {
        known = info;
        replaced = true;
      }
    }
    if (!replaced) by_subnet.push_back(std::move(info));
  }
  if (by_subnet.empty()) stop("No available public NAT gateway found in " + vpc);

  std::vector<std::string> subnet_ids;
  for (const auto& info : by_subnet) subnet_ids.push_back(info.subnet_id);
  for (const auto& subnet : describeSubnets(ec2_client, subnet_ids)) {
    for (auto& info : by_subnet) {
      if (subnet.SubnetId != info.subnet_id) continue;
      info.subnet_cidr = subnet.CidrBlock;
      info.az = subnet.AvailabilityZone.value_or("");
    }
  }
  return by_subnet;
}

void Nat::findNatGws(const SearchArgs& args, const aws::Ec2Client& ec2_client, const aws::S3Client& s3_client) {
  NatGwMap infos = get_natgw_infos(ec2_client, args.vpc);
  collectRoutedSubnets(ec2_client, args.vpc, infos);
  for (auto& info : infos) choosePrivateSubnet(ec2_client, info);

  TestConfig test_config;
  for (const auto& info : infos) test_config.append(info.toDict());
  natLog()->info("test.config:");
  natLog()->info(test_config.text());
  test_config.write(Globals.TEST_CONFIG);
  if (args.s3_bucket && !args.s3_bucket->empty()) uploadTestConfig(args, s3_client);
}

}  // namespace qvn
