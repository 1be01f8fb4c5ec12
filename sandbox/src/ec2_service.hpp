#pragma once
// The sandbox's EC2: VPC networking, images, key pairs, security groups,
// Elastic IPs and instances with their life cycle, per account and region,
// answered in the EC2 query dialect.
//
// Instance states are computed from timestamps (qvn::core::now()) whenever a
// request arrives; durations come from the scenario's "timings" and are
// multiplied by the time scale.
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "ec2_model.hpp"
#include "ec2_support.hpp"
#include "service.hpp"

namespace qvn::sandbox {

class Ec2Service final : public Service {
 public:
  Ec2Service();
  std::string name() const override { return "ec2"; }
  AwsReply handle(const AwsCall& call) override;
  AwsReply render_error(const ApiError& error, const std::string& request_id) const override;
  void load(const Json& scenario, World& world) override;
  Json dump() const override;
  bool has_operation(const std::string& operation) const override;

  // Instance states by name, as EC2 reports them.
  static int state_code(const std::string& state);

 private:
  struct Request {
    const AwsCall& call;
    ec2::RegionState& st;
    ec2::TimePoint now;
  };
  using Handler = void (Ec2Service::*)(Request&, ec2::Xml&);

  ec2::RegionState& region_state(const std::string& account, const std::string& region);
  void settle(ec2::RegionState& st, ec2::TimePoint now);
  double scaled(double seconds) const;

  // Life cycle (ec2_instances.cpp).
  std::string instance_state(const ec2::Instance& in, ec2::TimePoint now) const;
  std::string status_check(const ec2::Instance& in, ec2::TimePoint now) const;
  void write_instance(const ec2::RegionState& st, const ec2::Instance& in, ec2::TimePoint now, ec2::Xml& x) const;
  void write_reservation_body(const ec2::RegionState& st, const std::string& reservation_id, ec2::TimePoint now,
                              ec2::Xml& x) const;
  void check_instance_profile(const std::string& account, const std::string& name, ec2::TimePoint now) const;

  // Lookups (throw EC2's NotFound errors).
  ec2::Instance& find_instance(ec2::RegionState& st, const std::string& id);
  ec2::Subnet& find_subnet(ec2::RegionState& st, const std::string& id);
  ec2::SecurityGroup& find_group(ec2::RegionState& st, const std::string& id);
  ec2::NetworkInterface& find_interface(ec2::RegionState& st, const std::string& id);
  ec2::Vpc* find_vpc(ec2::RegionState& st, const std::string& id);
  const ec2::Image* find_image(const ec2::RegionState& st, const std::string& id) const;
  std::string public_ip_of(const ec2::RegionState& st, const ec2::Instance& in, ec2::TimePoint now) const;
  std::string next_public_ip();
  std::string allocate_private_ip(const ec2::RegionState& st, const ec2::Subnet& subnet);
  // AvailableIpAddressCount: the CIDR less EC2's 5 reserved addresses, those
  // in use and those the scenario holds back.
  int free_addresses(const ec2::RegionState& st, const ec2::Subnet& subnet) const;
  ec2::NetworkInterface& add_interface(ec2::RegionState& st, const ec2::Subnet& subnet, const std::string& private_ip);
  void write_interface(const ec2::RegionState& st, const ec2::NetworkInterface& eni, bool nested, ec2::TimePoint now,
                       ec2::Xml& x) const;
  void write_group_refs(const ec2::RegionState& st, const std::vector<std::string>& ids, ec2::Xml& x) const;
  ec2::SecurityGroup& add_group(ec2::RegionState& st, const std::string& vpc_id, const std::string& name,
                                const std::string& description, const ec2::Tags& tags);
  ec2::RouteTable& add_main_route_table(ec2::RegionState& st, const ec2::Vpc& vpc);

  // Operations.
  void describe_vpcs(Request& r, ec2::Xml& x);
  void describe_subnets(Request& r, ec2::Xml& x);
  void describe_route_tables(Request& r, ec2::Xml& x);
  void describe_nat_gateways(Request& r, ec2::Xml& x);
  void describe_network_interfaces(Request& r, ec2::Xml& x);
  void allocate_address(Request& r, ec2::Xml& x);
  void associate_address(Request& r, ec2::Xml& x);
  void disassociate_address(Request& r, ec2::Xml& x);
  void describe_addresses(Request& r, ec2::Xml& x);
  void release_address(Request& r, ec2::Xml& x);
  void describe_images(Request& r, ec2::Xml& x);
  void create_key_pair(Request& r, ec2::Xml& x);
  void describe_key_pairs(Request& r, ec2::Xml& x);
  void delete_key_pair(Request& r, ec2::Xml& x);
  void create_security_group(Request& r, ec2::Xml& x);
  void describe_security_groups(Request& r, ec2::Xml& x);
  void authorize_security_group_ingress(Request& r, ec2::Xml& x);
  void delete_security_group(Request& r, ec2::Xml& x);
  void run_instances(Request& r, ec2::Xml& x);
  // The steps of RunInstances (ec2_launch.cpp).
  struct LaunchPlan;
  bool replay_launch(Request& r, const std::string& token, ec2::Xml& x);
  LaunchPlan launch_plan(Request& r, const std::string& token);
  void place_interfaces(ec2::RegionState& st, LaunchPlan& plan);
  std::string launch_instances(Request& r, const LaunchPlan& plan);
  void launch_instance(Request& r, const LaunchPlan& plan, const std::string& reservation_id, int index);
  void describe_instances(Request& r, ec2::Xml& x);
  void describe_instance_status(Request& r, ec2::Xml& x);
  void terminate_instances(Request& r, ec2::Xml& x);

  // What the account and region offer (ec2_offerings.cpp).
  void describe_account_attributes(Request& r, ec2::Xml& x);
  void describe_instance_types(Request& r, ec2::Xml& x);
  void describe_instance_type_offerings(Request& r, ec2::Xml& x);
  void load_offerings(const Json& ec2, ec2::RegionState& st);
  // AllocateAddress: AddressLimitExceeded once the region holds the account's
  // vpc-max-elastic-ips addresses (no limit without that attribute).
  static void check_address_quota(const ec2::RegionState& st);
  // The architectures of a known instance type; throws InvalidParameterValue
  // for an unknown one, as RunInstances does.
  const std::vector<std::string>& architectures_of(const std::string& type) const;
  // The zones of the region: its subnets' and those the scenario's offerings name.
  std::set<std::string> zones_of(const ec2::RegionState& st) const;
  bool offered_in(const std::string& type, const std::string& zone) const;
  // RunInstances: the type is offered in the zone (Unsupported) and can run
  // the image's architecture (InvalidParameterValue).
  void check_type_for_launch(const ec2::RegionState& st, const std::string& type, const std::string& zone,
                             const std::string& image_id) const;

  // Scenario (ec2_scenario.cpp).
  void load_region(const Json& ec2, ec2::RegionState& st);
  void load_vpc(const Json& j, const std::string& where, ec2::RegionState& st);
  void load_subnet(const Json& j, const std::string& where, ec2::RegionState& st);
  void load_security_group(const Json& j, const std::string& where, ec2::RegionState& st);
  ec2::NetworkInterface& load_interface(const Json& j, const std::string& where, ec2::RegionState& st);
  void load_nat_gateway(const Json& j, const std::string& where, ec2::RegionState& st, ec2::TimePoint now);
  void add_nat_interface(const Json& j, const std::string& where, ec2::RegionState& st, const ec2::Subnet& s,
                         ec2::NatGateway& n);
  void load_instance(const Json& j, const std::string& where, ec2::RegionState& st, ec2::TimePoint now);
  ec2::NetworkInterface& scenario_interface(ec2::RegionState& st, const std::string& id, const std::string& where);
  void load_route_table(const Json& j, const std::string& where, ec2::RegionState& st);
  void add_missing_main_route_tables(ec2::RegionState& st);
  void load_key_pair(const Json& j, const std::string& where, ec2::RegionState& st, ec2::TimePoint now);

  static const std::map<std::string, Handler>& handlers();

  mutable std::mutex mutex_;
  ec2::Timings timings_;
  std::map<std::string, ec2::RegionState> regions_;        // "account/region"
  std::map<std::string, std::vector<ec2::Image>> images_;  // by region
  // Instance type -> architectures it runs; the scenario's or the built-in list.
  std::map<std::string, std::vector<std::string>> instance_types_;
  // Zone -> instance types offered there; none: every type in every zone.
  std::optional<std::map<std::string, std::set<std::string>>> offerings_;
  World* world_ = nullptr;  // for the IAM instance profiles, read at call time
  ec2::IdMaker ids_;
  uint32_t public_ip_counter_ = 0;
};

}  // namespace qvn::sandbox
