#pragma once
// Spoke gateways and the search for the test subnets behind them.
//
// A Spoke is one gateway (as the controller reports it) with the private
// subnets whose route tables send traffic to its network interface; it
// becomes one entry of the test configuration (toDict).
//
// The searches ask the controller for the gateway, find each gateway's
// interface in EC2 by its public address, take the first subnet associated
// with a route table that routes to that interface, and write the test
// configuration to Globals.TEST_CONFIG. A search that cannot complete logs
// one ERROR record saying why (so the run ends with status 1) and writes
// nothing.
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "aws/ec2.hpp"
#include "lib/qvn_https.hpp"
#include "lib/search_args.hpp"

namespace qvn {

class Spoke {
 public:
  std::string transit_name;
  std::string gw_private_ip;
  std::string gw_name;
  std::string gw_public_ip;
  std::string gw_subnet;
  std::string gw_subnet_cidr;
  std::vector<std::string> private_subnets;
  std::string first_private_subnet_cidr;
  std::string private_subnet_gw_ip;

  // True when the private address or, failing that, the transit is known.
  bool isDefined() const;
  // Logs the gateway's state: ERROR without a private address, else whether
  // it is attached to a transit.
  void checkStatus() const;
  // The test configuration entry. Throws std::out_of_range when no private
  // subnet is known.
  nlohmann::ordered_json toDict() const;

  // The controller's gateway list (action list_vpcs_summary), unexamined.
  static ControllerResponse list_gateway_info(const std::string& api_endpoint_url = "", const std::string& CID = "",
                                              const std::string& vpc_access_account_name = "",
                                              const std::string& kcx_gw_only = "no",
                                              const std::optional<std::string>& gw_name = std::nullopt,
                                              const std::string& keyword_for_log = "qvn-migration-function---");

  // A spoke from one gateway record of the controller; throws
  // std::runtime_error naming the member the record lacks.
  static Spoke createSpoke(const nlohmann::json& info);

  // Classic lookup: the gateway of that name and its HA peer (from the
  // record's hagw_details). Empty when the controller lists no such gateway
  // or the lookup failed (logged as ERROR).
  static std::vector<Spoke> getSpokeInfo(const std::string& api_endpoint_url = "", const std::string& CID = "",
                                         const std::string& spoke_gw_name = "");
  // Horizontal-scaling lookup: every matching record and, for records with
  // hagw_details, the instances of their hagw_details_list.
  static std::vector<Spoke> getHsSpokeInfo(const std::string& api_endpoint_url = "", const std::string& CID = "",
                                           const std::string& spoke_gw_name = "");

  // The searches: the gateway (and the "-hagw" gateway, for the classic
  // one), then the subnets, then the file.
  static void findClassicSpokes(const SearchArgs& args, const aws::Ec2Client& ec2_client,
                                const std::string& controller_api_url, const std::string& CID,
                                const std::string& spoke_gw_name);
  static void findHsSpokes(const SearchArgs& args, const aws::Ec2Client& ec2_client,
                           const std::string& controller_api_url, const std::string& CID,
                           const std::string& spoke_gw_name);

  // The part both searches share: interfaces, route tables, subnets, file.
  // Throws on the first thing that stops it.
  static void writeSpokeSubnets(const std::string& vpc, const aws::Ec2Client& ec2_client,
                                const std::vector<Spoke>& spokes);
};

}  // namespace qvn
