#include "lib/route_tables.hpp"

namespace qvn {
namespace {

const aws::OptString& targetOf(const aws::Route& route, RouteTarget kind) {
  return kind == RouteTarget::NatGateway ? route.NatGatewayId : route.NetworkInterfaceId;
}

}  // namespace

void forEachRoutedSubnet(const aws::Ec2Client& ec2_client, const std::string& vpc, RouteTarget kind,
                         const RoutedSubnetSink& take) {
  aws::DescribeRouteTablesRequest request;
  request.Filters = {{"vpc-id", {vpc}}};
  for (const auto& table : ec2_client.describe_route_tables(request).RouteTables) {
    for (const auto& route : table.Routes) {
      const aws::OptString& target = targetOf(route, kind);
      if (!target) continue;
      for (const auto& association : table.Associations) {
        if (association.SubnetId) take(*target, *association.SubnetId);
      }
    }
  }
}

}  // namespace qvn
