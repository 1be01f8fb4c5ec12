#!/usr/bin/env bash
# Runs the toolkit against the local AWS sandbox: starts qvn-sandbox on the
# spoke scenario, then drives the AWS client, the controller API and both
# programs the way the workflow does, and stops the sandbox again. The work
# folder (sandbox output, logs, test configurations, key file) is kept and
# named at the end (DEMO_KEEP_WORK=0 removes it instead, as the test suite does).
#   usage: scripts/demo.sh [BUILD_DIR]
set -euo pipefail

BUILD_DIR=$(cd "${1:-build}" && pwd)
ROOT=$(cd "$(dirname "$0")/.." && pwd)
SANDBOX="$BUILD_DIR/sandbox/qvn-sandbox"
AWS_CLI="$BUILD_DIR/apps/qvn-aws"
PROBE="$BUILD_DIR/apps/probe_deploy"
SURVEY="$BUILD_DIR/apps/subnet_survey"
COLLECT="$BUILD_DIR/apps/qvn-collect-results"
for program in "$SANDBOX" "$AWS_CLI" "$PROBE" "$SURVEY" "$COLLECT"; do
  [ -x "$program" ] || { echo "demo: $program is not built (run make build)" >&2; exit 1; }
done

WORK=$(mktemp -d /tmp/quorvane-demo.XXXXXX)
SANDBOX_PID=""
cleanup() {
  if [ -n "$SANDBOX_PID" ]; then
    kill -TERM "$SANDBOX_PID" 2>/dev/null || true
    wait "$SANDBOX_PID" 2>/dev/null || true
  fi
  if [ "${DEMO_KEEP_WORK:-1}" = 0 ]; then
    rm -rf "$WORK"
  else
    echo "demo: work folder kept: $WORK (logs in $WORK/backups/log; remove it with rm -rf $WORK)"
  fi
}
trap cleanup EXIT

step() { printf '\n=== %s\n' "$*"; }
show() { printf '$ %s\n' "$*"; "$@"; }

# Every wait of the sandbox's instance life cycle and of the toolkit runs 100
# times faster. The sandbox and the programs must share the factor: programs
# that wait less than the sandbox takes give up on instances still starting.
export QUORVANE_TIME_SCALE=0.01

step "Start the sandbox (scenario: spoke VPC with a gateway and its HA peer)"
"$SANDBOX" --scenario "$ROOT/sandbox/scenarios/spoke.json" --port 0 \
  --env-file "$WORK/sandbox.env" --work-dir "$WORK/sandbox" > "$WORK/sandbox.out" 2>&1 &
SANDBOX_PID=$!
for _ in $(seq 1 100); do
  grep -q "ready" "$WORK/sandbox.out" 2>/dev/null && break
  kill -0 "$SANDBOX_PID" 2>/dev/null || { cat "$WORK/sandbox.out" >&2; exit 1; }
  sleep 0.1
done
grep -q "ready" "$WORK/sandbox.out" || { echo "demo: sandbox did not start" >&2; exit 1; }
set -a
# shellcheck disable=SC1091
. "$WORK/sandbox.env"
set +a
grep -v -i secret "$WORK/sandbox.out"

# ---- subnet_survey: the test subnets behind the spoke gateways and the NAT gateways
# SPOKE_CONFIG is the test configuration the deployment reads.
SURVEY_ROLE=arn:aws:iam::123456789012:role/quorvane-deploy-role
SPOKE_CONFIG="$WORK/survey/spoke.config"
NATGW_CONFIG="$WORK/survey/natgw.config"

step "subnet_survey spoke: the subnets routed to spoke1 and its HA peer (controller over HTTPS, EC2)"
# The password comes from the environment, out of sight of ps.
export QUORVANE_CONTROLLER_PASSWORD=sandbox-controller-pass
show "$SURVEY" --vpc vpc-0a5b0c0d0e0f00001 --region us-east-1 --assume_role "$SURVEY_ROLE" \
  --backup_folder "$WORK/backups" --output_test_config "$SPOKE_CONFIG" \
  spoke --controller_ip "$QUORVANE_SANDBOX_CONTROLLER" --controller_user admin \
  --spoke_gw_name spoke1 2>&1 | grep -v '^$'
unset QUORVANE_CONTROLLER_PASSWORD

step "subnet_survey natgw: the subnets behind the NAT gateways (scenario natgw), with a copy in S3"
curl -sS --max-time 10 -X POST "$AWS_ENDPOINT_URL/_sandbox/scenario" \
  -d "{\"file\": \"$ROOT/sandbox/scenarios/natgw.json\"}" > /dev/null
show "$SURVEY" --vpc vpc-0c5b0c0d0e0f00001 --region us-east-1 --assume_role "$SURVEY_ROLE" \
  --backup_folder "$WORK/natgw-backups" --output_test_config "$NATGW_CONFIG" \
  --s3_bucket quorvane-backups-123456789012 \
  natgw 2>&1 | grep -E 'nat_gw_id|private_subnet_id|Upload|Error' || true
show "$AWS_CLI" s3 list_objects_v2 --input \
  '{"Bucket":"quorvane-backups-123456789012","Prefix":"backups/vpc-0c5b0c0d0e0f00001/"}' | grep -E '"(Key|Size)"'
curl -sS --max-time 10 -X POST "$AWS_ENDPOINT_URL/_sandbox/scenario" \
  -d "{\"file\": \"$ROOT/sandbox/scenarios/spoke.json\"}" > /dev/null
# ---- end of subnet_survey

step "Assume the workflow account's role (STS; the default credentials come from the sandbox's config files)"
"$AWS_CLI" sts assume_role --input \
  '{"RoleArn":"arn:aws:iam::210987654321:role/quorvane-workflow-role","RoleSessionName":"demo"}' \
  | grep -E '"(Arn|AssumedRoleId|AccessKeyId|Expiration)"'

step "The VPC's subnets and route tables (EC2)"
show "$AWS_CLI" ec2 describe_subnets --input '{"Filters":[{"Name":"vpc-id","Values":["vpc-0a5b0c0d0e0f00001"]}]}' \
  | grep -E '"(SubnetId|CidrBlock|AvailabilityZone)"'
show "$AWS_CLI" ec2 describe_route_tables --input '{"Filters":[{"Name":"vpc-id","Values":["vpc-0a5b0c0d0e0f00001"]}]}' \
  | grep -E '"(RouteTableId|NetworkInterfaceId|SubnetId|Main)"'

step "The default machine image"
show "$AWS_CLI" ec2 describe_images --input \
  '{"Filters":[{"Name":"name","Values":["al2023-ami-2023.3.20240108.0-kernel-6.1-x86_64"]}],"Owners":["amazon"]}' \
  | grep -E '"(ImageId|Name|OwnerId)"'

step "The controller's gateways (HTTPS with the sandbox's CA)"
CONTROLLER="https://$QUORVANE_SANDBOX_CONTROLLER"
CID=$(curl -sS --cacert "$QUORVANE_CONTROLLER_CA_BUNDLE" --max-time 10 -X POST "$CONTROLLER/v1/api" \
  --data-urlencode action=login --data-urlencode username=admin \
  --data-urlencode password=sandbox-controller-pass | python3 -c 'import json,sys; print(json.load(sys.stdin)["CID"])')
echo "logged in (CID received)"
curl -sS --cacert "$QUORVANE_CONTROLLER_CA_BUNDLE" --max-time 10 -G "$CONTROLLER/v1/api" \
  --data-urlencode action=list_vpcs_summary --data-urlencode "CID=$CID" --data-urlencode gateway_name=spoke1 \
  | python3 -c 'import json,sys; r=json.load(sys.stdin); print("return:", r["return"]); [print(" ", g["gw_name"], g["private_ip"], g["gw_subnet_id"]) for g in r["results"]]'

step "probe_deploy: an incomplete tag pair is refused (status 1)"
set +e
"$PROBE" --test_config "$WORK/test.config" --output_test_config "$WORK/unused.config" \
  --tag_resource owner,demo,extra --backup_folder "$WORK/backups"
echo "exit status: $?"
set -e

step "A dual-NIC test instance in the sandbox: launch, wait until healthy, terminate"
GROUP=$("$AWS_CLI" ec2 create_security_group --input \
  '{"GroupName":"demo-sg","Description":"demo","VpcId":"vpc-0a5b0c0d0e0f00001"}' \
  | python3 -c 'import json,sys; print(json.load(sys.stdin)["GroupId"])')
INSTANCE=$("$AWS_CLI" ec2 run_instances --input "{\"ImageId\":\"ami-0005e0cfe09cc9050\",\"InstanceType\":\"t3.micro\",
  \"MinCount\":1,\"MaxCount\":1,\"NetworkInterfaces\":[
   {\"DeviceIndex\":0,\"SubnetId\":\"subnet-0a5b0c0d0e0f00001\",\"Groups\":[\"$GROUP\"]},
   {\"DeviceIndex\":1,\"SubnetId\":\"subnet-0a5b0c0d0e0f00011\",\"Groups\":[\"$GROUP\"]}],
  \"TagSpecifications\":[{\"ResourceType\":\"instance\",\"Tags\":[{\"Key\":\"Name\",\"Value\":\"quorvane-test-ec2\"}]}]}" \
  | python3 -c 'import json,sys; print(json.load(sys.stdin)["Instances"][0]["InstanceId"])')
echo "launched $INSTANCE"
for _ in $(seq 1 50); do
  STATUS=$("$AWS_CLI" ec2 describe_instance_status --input "{\"InstanceIds\":[\"$INSTANCE\"]}" \
    | python3 -c 'import json,sys; s=json.load(sys.stdin)["InstanceStatuses"]; print(s[0]["InstanceStatus"]["Status"] if s else "pending")')
  [ "$STATUS" = "ok" ] && break
  sleep 0.2
done
echo "instance status: $STATUS"
"$AWS_CLI" ec2 terminate_instances --input "{\"InstanceIds\":[\"$INSTANCE\"]}" \
  | grep -E '"(InstanceId|Name)"'

step "Backups in S3: upload, list, download"
echo "demo key material" > "$WORK/demo.pem"
show "$AWS_CLI" s3 upload_file --input "{\"Filename\":\"$WORK/demo.pem\",\"Bucket\":\"quorvane-backups-123456789012\",\"Key\":\"backups/vpc-0a5b0c0d0e0f00001/demo.pem\"}"
show "$AWS_CLI" s3 list_objects_v2 --input '{"Bucket":"quorvane-backups-123456789012","Prefix":"backups/"}' | grep -E '"(Key|Size)"'
show "$AWS_CLI" s3 download_file --input "{\"Bucket\":\"quorvane-backups-123456789012\",\"Key\":\"backups/vpc-0a5b0c0d0e0f00001/demo.pem\",\"Filename\":\"$WORK/copy.pem\"}"
cmp "$WORK/demo.pem" "$WORK/copy.pem" && echo "downloaded copy is identical"

# ---- probe_deploy: the test instances of the spoke result
# DEPLOYED_CONFIG is the spoke result with each instance's addresses added.
DEPLOYED_CONFIG="$WORK/deploy/spoke-deployed.config"
step "probe_deploy: a test instance in each subnet of the spoke result (security group, key pair, launch, Elastic IP)"
show "$PROBE" --test_config "$SPOKE_CONFIG" --output_test_config "$DEPLOYED_CONFIG" --region us-east-1 \
  --s3_bucket quorvane-backups-123456789012 --tag_resource owner,demo --backup_folder "$WORK/backups" 2>&1 \
  | grep -v '^$' | grep -v '^#'
echo
echo "output test configuration: $DEPLOYED_CONFIG"
cat "$DEPLOYED_CONFIG"
python3 - "$DEPLOYED_CONFIG" <<'PY'
import json, sys
entries = json.load(open(sys.argv[1]))
missing = [e["private_subnet_id"] for e in entries if not e.get("ec2_ip") or not e.get("ec2_2nd_private_ip")]
if missing:
    sys.exit("demo: no addresses recorded for " + ", ".join(missing))
print(len(entries), "test instances recorded with their public and private-subnet addresses")
PY
echo "key pair file: $(ls "$WORK/backups/vpc-0a5b0c0d0e0f00001/"*.pem)"

step "probe_deploy again: the running instances are adopted, nothing is launched"
launches() {
  curl -sS --max-time 10 "$AWS_ENDPOINT_URL/_sandbox/requests?service=ec2&operation=RunInstances" \
    | python3 -c 'import json,sys; print(len(json.load(sys.stdin)["requests"]))'
}
LAUNCHES_BEFORE=$(launches)
"$PROBE" --test_config "$SPOKE_CONFIG" --output_test_config "$DEPLOYED_CONFIG" --region us-east-1 \
  --backup_folder "$WORK/backups" 2>&1 | grep -E 'Create quorvane|public ip|Instance quorvane' || true
LAUNCHES_AFTER=$(launches)
echo "RunInstances requests: $LAUNCHES_BEFORE before the second run, $LAUNCHES_AFTER after it"
[ "$LAUNCHES_BEFORE" = "$LAUNCHES_AFTER" ] || { echo "demo: the second run launched instances" >&2; exit 1; }
# ---- end of probe_deploy

# ---- result collection: the test instances' result objects, read by qvn-collect-results
step "Result collection: result and log objects per subnet of the spoke configuration, then qvn-collect-results"
RESULTS_BUCKET=quorvane-backups-123456789012
put_object() {  # key, content
  printf '%s' "$2" > "$WORK/object.txt"
  "$AWS_CLI" s3 upload_file --input \
    "{\"Filename\":\"$WORK/object.txt\",\"Bucket\":\"$RESULTS_BUCKET\",\"Key\":\"$1\"}" > /dev/null
}
GW_NAMES=$(python3 -c 'import json,sys; print(" ".join(e["gw_name"] for e in json.load(open(sys.argv[1]))))' "$SPOKE_CONFIG")
for gw in $GW_NAMES; do
  put_object "log-$gw-demo.txt" "ping and traceroute from $gw: 0% loss"
  put_object "result-$gw-demo.txt" "PASS
"
  echo "put result-$gw-demo.txt and log-$gw-demo.txt"
done
show "$COLLECT" --s3_bucket "$RESULTS_BUCKET" --test_config "$SPOKE_CONFIG" --tag demo --region us-east-1
echo "exit status 0: every subnet passed"
LAST_GW=${GW_NAMES##* }
put_object "result-$LAST_GW-demo.txt" "FAIL: 100% loss"
echo "result-$LAST_GW-demo.txt now reads FAIL"
status=0
COLLECTED=$("$COLLECT" --s3_bucket "$RESULTS_BUCKET" --test_config "$SPOKE_CONFIG" --tag demo \
  --region us-east-1 2>&1) || status=$?
echo "$COLLECTED" | grep -E '^- |FAIL' || true
echo "exit status $status: a subnet failed"
[ "$status" = 1 ] || { echo "demo: the failed result was not reported" >&2; exit 1; }
# ---- end of result collection

# ---- teardown: probe_deploy --revert, then nothing of the tool's is left in the sandbox
step "probe_deploy --revert: the instances with their Elastic IPs, then the security groups and the key pair"
show "$PROBE" --revert --test_config "$SPOKE_CONFIG" --region us-east-1 --backup_folder "$WORK/backups" 2>&1 \
  | grep -v '^$' | grep -v '^#'

step "Nothing of the tool's is left (from the sandbox's state)"
curl -sS --max-time 10 "$AWS_ENDPOINT_URL/_sandbox/state" | python3 -c '
import json, sys
services = json.load(sys.stdin)["services"]
left = []
for region in services.get("ec2", {}).values():
    live = [i for i in region["instances"] if i["tags"].get("Name") == "quorvane-test-ec2"]
    print(len(live), "instances of the tool listed:", ", ".join(i["id"] + " " + i["state"] for i in live) or "none")
    left += ["instance " + i["id"] for i in live if i["state"] != "terminated"]
    left += ["address " + a["public_ip"] for a in region["addresses"] if a["tags"].get("Name") == "quorvane-test-ec2-eip"]
    left += ["group " + g["name"] for g in region["security_groups"] if g["name"].startswith("quorvane-test-ec2")]
    left += ["key pair " + k["name"] for k in region["key_pairs"] if k["name"].startswith("quorvane-test-ec2-key-pair-")]
for account in services.get("iam", {}).get("accounts", {}).values():
    for kind in ("policies", "roles", "instance_profiles"):
        left += [kind + " " + o["name"] for o in account[kind] if o["name"].startswith("quorvane-test-ec2-")]
if left:
    sys.exit("demo: left behind: " + ", ".join(left))
print("nothing of the tool is left: no live instance, Elastic IP, security group, key pair or IAM object")
'
# ---- end of teardown

step "What the sandbox saw"
curl -sS --max-time 10 "$AWS_ENDPOINT_URL/_sandbox/requests" \
  | python3 -c 'import json,sys; d=json.load(sys.stdin); d=d.get("requests",d); print(len(d), "AWS requests:", ", ".join(sorted({r["service"]+"."+r["operation"] for r in d})))'
echo
echo "demo: done"
