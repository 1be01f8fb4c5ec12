#!/usr/bin/python3
"""What `probe_deploy` does for a deployment, written as a plain boto3 script.

The same AWS calls in the same order: the VPC of the first entry and a check
of every gateway subnet, the image, the SSH group (with the caller's public
address) and the key pair, then one thread per entry that looks for the
tool's instance, launches it, waits with the SDK's waiter until its status
checks pass, checks its status, describes it, gives it an Elastic IP and
describes it again; then the output test configuration. The benchmark runs
it beside the program.

    deploy.py --test_config IN --output_test_config OUT [--region R]
              [--backup_folder DIR] [--retry_mode legacy|standard|adaptive] [--max_attempts N]

Without --retry_mode it uses boto3's defaults, as most scripts do. Every
sleep (retry pauses, the waiter's delay) is scaled by QUORVANE_TIME_SCALE,
as the toolkit scales its own waits, so both meet the sandbox's time alike.
"""
import argparse
import ipaddress
import json
import os
import sys
import threading
import time
import urllib.request

import boto3
from botocore.config import Config

NAME = "quorvane-test-ec2"
SSH_GROUP = "quorvane-test-ec2-sg"


def scale_sleeps():
    scale = float(os.environ.get("QUORVANE_TIME_SCALE", "1") or 1)
    if scale != 1:
        real_sleep = time.sleep
        time.sleep = lambda seconds: real_sleep(seconds * scale)
    return scale


def name_tags(resource, value):
    return [{"ResourceType": resource, "Tags": [{"Key": "Name", "Value": value}]}]


def ec2_client(args, workers):
    retries = {}
    if args.retry_mode:
        retries["mode"] = args.retry_mode
    if args.max_attempts:
        retries["max_attempts"] = args.max_attempts
    config = Config(region_name=args.region, retries=retries or None, max_pool_connections=workers + 4)
    # This botocore predates AWS_ENDPOINT_URL: pass it on by hand.
    return boto3.Session().client("ec2", endpoint_url=os.environ.get("AWS_ENDPOINT_URL") or None, config=config)


def vpc_of(ec2, config):
    vpc = ec2.describe_subnets(SubnetIds=[config[0]["gw_subnet_id"]])["Subnets"][0]["VpcId"]
    gateways = list(dict.fromkeys(e["gw_subnet_id"] for e in config if e.get("private_subnet_id")))
    for start in range(0, len(gateways), 100):
        chunk = gateways[start:start + 100]
        for subnet in ec2.describe_subnets(Filters=[{"Name": "subnet-id", "Values": chunk}])["Subnets"]:
            if subnet["VpcId"] != vpc:
                sys.exit("gateway subnet %s is not in %s" % (subnet["SubnetId"], vpc))
    return vpc


def image(ec2, name):
    images = ec2.describe_images(ExecutableUsers=["all"], Filters=[{"Name": "name", "Values": [name]}],
                                 Owners=["amazon"], IncludeDeprecated=False)["Images"]
    if not images:
        sys.exit("Failed to find image " + name)
    return images[0]["ImageId"]


def ssh_group(ec2, vpc):
    found = ec2.describe_security_groups(Filters=[{"Name": "vpc-id", "Values": [vpc]},
                                                  {"Name": "group-name", "Values": [SSH_GROUP]}])
    if found["SecurityGroups"]:
        return found["SecurityGroups"][0]["GroupId"]
    echo = os.environ.get("QUORVANE_IP_ECHO_URL", "https://api.ipify.org?format=json")
    with urllib.request.urlopen(echo, timeout=10) as answer:
        address = json.load(answer)["ip"]
    group = ec2.create_security_group(Description="Quorvane test ec2", GroupName=SSH_GROUP, VpcId=vpc,
                                      TagSpecifications=name_tags("security-group", SSH_GROUP))["GroupId"]
    ec2.authorize_security_group_ingress(GroupId=group, IpPermissions=[{
        "FromPort": 22, "IpProtocol": "tcp", "ToPort": 22,
        "IpRanges": [{"CidrIp": address + "/32", "Description": "SSH access from the workflow engine"}]}])
    return group


def key_pair(ec2, vpc, backup_folder):
    name = "quorvane-test-ec2-key-pair-" + vpc
    found = ec2.describe_key_pairs(Filters=[{"Name": "tag:Name", "Values": ["quorvane-test-ec2-key-pair"]},
                                            {"Name": "key-name", "Values": [name]}], IncludePublicKey=True)
    if found["KeyPairs"]:
        return name
    material = ec2.create_key_pair(KeyName=name, KeyType="rsa", KeyFormat="pem",
                                   TagSpecifications=name_tags("key-pair", "quorvane-test-ec2-key-pair"))
    os.makedirs(os.path.join(backup_folder, vpc), exist_ok=True)
    path = os.path.join(backup_folder, vpc, name + ".pem")
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    with os.fdopen(fd, "w") as out:
        out.write(material["KeyMaterial"] + "\n")
    return name


def deploy_one(ec2, entry, ami, group, key, scale, failures):
    try:
        gw_subnet = entry["gw_subnet_id"]
        found = ec2.describe_instances(Filters=[{"Name": "tag:Name", "Values": [NAME]},
                                                {"Name": "subnet-id", "Values": [gw_subnet]}])["Reservations"]
        if found:
            instance_id = found[0]["Instances"][0]["InstanceId"]
        else:
            launched = ec2.run_instances(
                InstanceType="t3.micro", MinCount=1, MaxCount=1, ImageId=ami,
                TagSpecifications=name_tags("instance", NAME),
                NetworkInterfaces=[{"DeviceIndex": 0, "SubnetId": gw_subnet, "Groups": [group]},
                                   {"DeviceIndex": 1, "SubnetId": entry["private_subnet_id"]}],
                KeyName=key)
            instance_id = launched["Instances"][0]["InstanceId"]
            ec2.get_waiter("instance_status_ok").wait(InstanceIds=[instance_id])
        if not ec2.describe_instance_status(InstanceIds=[instance_id])["InstanceStatuses"]:
            return
        instance = ec2.describe_instances(InstanceIds=[instance_id])["Reservations"][0]["Instances"][0]
        if not instance.get("PublicIpAddress"):
            interface = next(i["NetworkInterfaceId"] for i in instance["NetworkInterfaces"]
                             if i["SubnetId"] == gw_subnet)
            allocation = ec2.allocate_address(Domain="vpc", TagSpecifications=name_tags("elastic-ip",
                                                                                         "quorvane-test-ec2-eip"))
            ec2.associate_address(AllocationId=allocation["AllocationId"], NetworkInterfaceId=interface)
            instance = ec2.describe_instances(InstanceIds=[instance_id])["Reservations"][0]["Instances"][0]
        entry["ec2_ip"] = instance["PublicIpAddress"]
        network = ipaddress.ip_network(entry["private_subnet_cidr"])
        for interface in instance["NetworkInterfaces"]:
            if ipaddress.ip_address(interface["PrivateIpAddress"]) in network:
                entry["ec2_2nd_private_ip"] = interface["PrivateIpAddress"]
    except Exception as failure:  # one subnet's failure ends only its thread
        failures.append("%s: %s" % (entry.get("private_subnet_id"), failure))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--test_config", required=True)
    parser.add_argument("--output_test_config", required=True)
    parser.add_argument("--region")
    parser.add_argument("--backup_folder", default="backups")
    parser.add_argument("--image", default="al2023-ami-2023.3.20240108.0-kernel-6.1-x86_64")
    parser.add_argument("--retry_mode", choices=["legacy", "standard", "adaptive"])
    parser.add_argument("--max_attempts", type=int)
    args = parser.parse_args()
    scale = scale_sleeps()

    with open(args.test_config, encoding="utf-8") as source:
        config = json.load(source)
    entries = [e for e in config if e.get("private_subnet_id")]
    ec2 = ec2_client(args, len(entries))
    ami = image(ec2, args.image)
    vpc = vpc_of(ec2, config)
    group = ssh_group(ec2, vpc)
    key = key_pair(ec2, vpc, args.backup_folder)

    failures = []
    threads = [threading.Thread(target=deploy_one, args=(ec2, e, ami, group, key, scale, failures))
               for e in entries]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    with open(args.output_test_config, "w", encoding="utf-8") as out:
        out.write(json.dumps(config, indent=2, ensure_ascii=False) + "\n")
    for failure in failures:
        print("deploy.py: " + failure, file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
