#pragma once
// The subnets a VPC's route tables send to a target, for the searches
// behind NAT gateways and behind spoke gateways.
//
// One describe_route_tables for the VPC (every page). For each route table,
// in answer order, and each of its routes, in order: when the route leads to
// a target of the kind asked for (its NAT gateway, or its network
// interface), every subnet associated with that table is handed over, in
// association order, with the target's ID. A table with two routes to one
// target hands its subnets over twice. Associations without a subnet (the
// main route table's) name no subnet and are passed over.
#include <functional>
#include <string>

#include "aws/ec2.hpp"

namespace qvn {

enum class RouteTarget { NatGateway, NetworkInterface };

// Called once per (target, subnet) pair found.
using RoutedSubnetSink = std::function<void(const std::string& target_id, const std::string& subnet_id)>;

void forEachRoutedSubnet(const aws::Ec2Client& ec2_client, const std::string& vpc, RouteTarget kind,
                         const RoutedSubnetSink& take);

}  // namespace qvn
