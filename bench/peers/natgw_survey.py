#!/usr/bin/python3
"""What `subnet_survey natgw` does, written as a plain boto3 script.

The same AWS calls in the same order (AssumeRole, DescribeNatGateways,
DescribeSubnets, DescribeRouteTables, then DescribeSubnets per gateway) and
the same test configuration, byte for byte. The benchmark runs it beside the
program to compare the two.

    natgw_survey.py --vpc VPC --region R --assume_role ARN --output_test_config FILE
"""
import argparse
import ipaddress
import json
import logging
import os
import sys

import boto3

log = logging.getLogger("natgw_survey")


def clients(args):
    # This botocore predates AWS_ENDPOINT_URL: pass it on by hand.
    endpoint = os.environ.get("AWS_ENDPOINT_URL") or None
    session = boto3.Session(region_name=args.region)
    if args.assume_role:
        sts = session.client("sts", endpoint_url=endpoint)
        creds = sts.assume_role(RoleArn=args.assume_role, RoleSessionName="Quorvane_Workflow")["Credentials"]
        session = boto3.Session(aws_access_key_id=creds["AccessKeyId"],
                                aws_secret_access_key=creds["SecretAccessKey"],
                                aws_session_token=creds["SessionToken"], region_name=args.region)
    return session.client("ec2", endpoint_url=endpoint)


def nat_gateways(ec2, vpc):
    answer = ec2.describe_nat_gateways(Filter=[{"Name": "vpc-id", "Values": [vpc]},
                                               {"Name": "state", "Values": ["available"]}])
    by_subnet = {}  # one gateway per subnet, the later one wins, first-seen order
    for gw in answer["NatGateways"]:
        if gw.get("ConnectivityType") != "public":
            continue
        address = gw["NatGatewayAddresses"][0]
        by_subnet[gw["SubnetId"]] = {"nat_gw_id": gw["NatGatewayId"], "gw_private_ip": address["PrivateIp"],
                                     "gw_public_ip": address["PublicIp"], "gw_subnet_id": gw["SubnetId"],
                                     "gw_subnet_cidr": None, "private_subnet_id": "",
                                     "private_subnet_cidr": "", "private_subnet_gw_ip": "", "az": "",
                                     "routed": []}
    if not by_subnet:
        sys.exit("No available public NAT gateway found in " + vpc)
    for subnet in ec2.describe_subnets(SubnetIds=list(by_subnet))["Subnets"]:
        by_subnet[subnet["SubnetId"]]["gw_subnet_cidr"] = subnet["CidrBlock"]
        by_subnet[subnet["SubnetId"]]["az"] = subnet["AvailabilityZone"]
    return list(by_subnet.values())


def route_to_gateways(ec2, vpc, gateways):
    by_id = {gw["nat_gw_id"]: gw for gw in gateways}
    for table in ec2.describe_route_tables(Filters=[{"Name": "vpc-id", "Values": [vpc]}])["RouteTables"]:
        for route in table["Routes"]:
            gw = by_id.get(route.get("NatGatewayId"))
            if gw is None:
                continue
            gw["routed"] += [a["SubnetId"] for a in table.get("Associations", []) if "SubnetId" in a]


def choose_private_subnet(ec2, gw):
    if not gw["routed"]:
        sys.exit("cannot find a private subnet that points to NAT gw " + gw["nat_gw_id"])
    described = {s["SubnetId"]: s for s in ec2.describe_subnets(SubnetIds=gw["routed"])["Subnets"]}
    for subnet_id in gw["routed"]:
        subnet = described.get(subnet_id)
        if subnet is None or subnet["AvailabilityZone"] != gw["az"]:
            continue
        network = ipaddress.ip_network(subnet["CidrBlock"])
        gw.update(private_subnet_id=subnet_id, private_subnet_cidr=subnet["CidrBlock"],
                  private_subnet_gw_ip=str(network.network_address + 1))
        return
    sys.exit("cannot find a private subnet that points to NAT gw " + gw["nat_gw_id"] + " in the same AZ")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--vpc", required=True)
    parser.add_argument("--region")
    parser.add_argument("--assume_role")
    parser.add_argument("--output_test_config", required=True)
    args = parser.parse_args()
    logging.basicConfig(level=logging.INFO, format="%(asctime)s %(message)s")

    ec2 = clients(args)
    gateways = nat_gateways(ec2, args.vpc)
    route_to_gateways(ec2, args.vpc, gateways)
    for gw in gateways:
        choose_private_subnet(ec2, gw)
    config = [{k: v for k, v in gw.items() if k not in ("az", "routed")} for gw in gateways]
    text = json.dumps(config, indent=2, ensure_ascii=False)
    log.info("test.config:")
    log.info(text)
    with open(args.output_test_config, "w", encoding="utf-8") as out:
        out.write(text + "\n")


if __name__ == "__main__":
    main()
