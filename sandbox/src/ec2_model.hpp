#pragma once
// The EC2 resources the sandbox keeps, per account and region, in EC2's own
// terms. Plain records; the service (ec2_service.hpp) owns and locks them.
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qvn::sandbox::ec2 {

using TimePoint = std::chrono::system_clock::time_point;
using Tags = std::vector<std::pair<std::string, std::string>>;  // in creation order

struct Vpc {
  std::string id;
  std::string cidr;
  bool is_default = false;
  std::string default_group_id;
  Tags tags;
};

struct Subnet {
  std::string id;
  std::string vpc_id;
  std::string az;
  std::string az_id;  // use1-az1, ...
  std::string cidr;
  bool map_public_ip_on_launch = false;
  bool default_for_az = false;
  // Addresses taken by what the sandbox does not hold (the scenario's
  // available_ip_address_count): never free.
  int hidden_in_use = 0;
  Tags tags;
};

struct Route {
  std::string destination;  // destinationCidrBlock
  std::string gateway_id;   // "local", igw-...
  std::string nat_gateway_id;
  std::string network_interface_id;
  std::string instance_id;
  std::string origin = "CreateRoute";
};

struct RouteTableAssociation {
  std::string id;         // rtbassoc-...
  std::string subnet_id;  // empty for the main association
  bool main = false;
};

struct RouteTable {
  std::string id;
  std::string vpc_id;
  std::vector<Route> routes;
  std::vector<RouteTableAssociation> associations;
  Tags tags;
};

struct NatGateway {
  std::string id;
  std::string vpc_id;
  std::string subnet_id;
  std::string state = "available";      // pending | failed | available | deleting | deleted
  std::string connectivity = "public";  // public | private
  std::string public_ip;                // empty for private connectivity
  std::string private_ip;
  std::string allocation_id;
  std::string network_interface_id;
  TimePoint create_time{};
  Tags tags;
};

// A public address on an interface: an Elastic IP or one assigned at launch.
struct PublicAssociation {
  std::string public_ip;
  std::string allocation_id;   // empty: assigned by EC2 at launch
  std::string association_id;  // empty: assigned by EC2 at launch
  std::string ip_owner;        // account id, or "amazon"
};

struct NetworkInterface {
  std::string id;
  std::string subnet_id;
  std::string vpc_id;
  std::string az;
  std::string private_ip;
  std::string description;
  std::string mac;
  std::string interface_type = "interface";  // interface | nat_gateway
  bool requester_managed = false;
  std::vector<std::string> group_ids;
  // Attachment (empty instance_id: available).
  std::string instance_id;
  std::string attachment_id;
  int device_index = 0;
  bool delete_on_termination = true;
  std::optional<PublicAssociation> association;
  Tags tags;
};

struct Image {
  std::string id;
  std::string name;
  std::string owner_id;
  std::string owner_alias;  // "amazon" for Amazon's images
  bool is_public = true;
  std::string state = "available";
  std::string architecture = "x86_64";
  std::string description;
  std::string creation_date;  // ISO 8601
  std::optional<TimePoint> deprecation_time;
  std::string root_snapshot_id;  // of the root device mapping
  int root_volume_size = 8;      // GiB
};

struct KeyPair {
  std::string id;
  std::string name;
  std::string type = "rsa";
  std::string fingerprint;
  std::string public_key;  // OpenSSH form
  TimePoint create_time{};
  Tags tags;
};

struct IpRange {
  std::string cidr;
  std::string description;
};

struct Permission {
  std::string protocol;  // tcp | udp | icmp | -1 | number
  std::optional<int> from_port;
  std::optional<int> to_port;
  std::vector<IpRange> ranges;
  std::vector<std::string> group_ids;  // user id group pairs
  std::string rule_id;
};

struct SecurityGroup {
  std::string id;
  std::string name;
  std::string description;
  std::string vpc_id;
  std::vector<Permission> ingress;
  std::vector<Permission> egress;
  Tags tags;
};

struct Address {
  std::string allocation_id;
  std::string public_ip;
  std::string domain = "vpc";
  std::string network_interface_id;  // empty: not associated
  std::string association_id;
  std::string private_ip;
  Tags tags;
};

struct Instance {
  std::string id;
  std::string reservation_id;
  std::string image_id;
  std::string instance_type;
  std::string key_name;
  std::string profile_arn;
  std::string subnet_id;  // of the primary interface
  std::string vpc_id;
  std::string az;
  std::string private_ip;
  std::string client_token;
  std::vector<std::string> interface_ids;  // in device order
  std::string root_volume_id;              // the EBS root volume
  Tags tags;
  TimePoint launch_time{};
  std::optional<TimePoint> terminate_time;
  std::string fixed_state;  // scenario instances: "stopped", ...; empty: life cycle
  bool finalized = false;   // interfaces released after termination
};

// What a ClientToken stands for.
struct TokenRecord {
  std::string reservation_id;
  std::string request_fingerprint;
};

// One account in one region.
struct RegionState {
  std::string account_id;
  std::string region;
  std::vector<Vpc> vpcs;
  std::vector<Subnet> subnets;
  std::vector<RouteTable> route_tables;
  std::vector<NatGateway> nat_gateways;
  std::vector<NetworkInterface> interfaces;
  std::vector<KeyPair> key_pairs;
  std::vector<SecurityGroup> groups;
  std::vector<Address> addresses;
  std::vector<Instance> instances;
  std::map<std::string, TokenRecord> client_tokens;
  // DescribeAccountAttributes: name -> values (the scenario's; none when absent).
  std::map<std::string, std::vector<std::string>> account_attributes;
};

// Life-cycle durations, in sandbox seconds (multiplied by the time scale).
struct Timings {
  double instance_pending = 10;
  double status_initializing = 30;
  double instance_shutting_down = 15;
  double terminated_visible = 3600;
  double instance_profile_propagation = 8;
};

}  // namespace qvn::sandbox::ec2
