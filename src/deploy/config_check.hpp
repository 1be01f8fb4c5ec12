#pragma once
// Checks a whole test configuration before probe_deploy changes anything in
// AWS, so that a bad file or entry ends the run at once with one line
// naming the file, the entry (counted from 1) and the member, e.g.
//
//   out/subnet.config: entry 3: member "gw_private_ip" is missing
//
// Failures are TestConfigError; the program turns them into that line on
// standard error and exit status 1.
#include <map>
#include <string>
#include <vector>

#include "aws/ec2.hpp"
#include "lib/test_config.hpp"

namespace qvn::deploy {

// What the configuration is read for: a deployment reads more members of an
// entry than a teardown does.
enum class ConfigUse { Deploy, Teardown };

// The members every use needs, with no AWS request:
// - the document is a non-empty JSON array of objects;
// - every entry has `private_subnet_id` (text; "" marks a skipped entry);
// - the first entry, and every entry that is not skipped, has
//   `gw_subnet_id` (non-empty text);
// - no two entries that are not skipped share a `gw_subnet_id` (an entry's
//   instance is found by its gateway subnet alone);
// and for a deployment also:
// - every entry that is not skipped has `gw_private_ip` (text) and
//   `private_subnet_cidr` (text that parses as an IPv4 network);
// - every skipped entry has `nat_gw_id` (text), which names it in the
//   skip message.
void checkTestConfig(TestConfig& config, ConfigUse use);

// Reads the file named `path` and checks it as above.
TestConfig readCheckedTestConfig(const std::string& path, ConfigUse use);

// Whether an entry takes part (its `private_subnet_id` is not empty).
// Call on a checked configuration only.
bool isDeployedEntry(const ConfigEntry& entry);

// With one read-only EC2 request (describe_subnets filtered by subnet-id,
// in chunks): every entry that is not skipped has its `gw_subnet_id` in
// `vpc_id`. Fails at the first entry whose subnet EC2 does not know or that
// lies in another VPC. Returns EC2's description of those subnets, by id.
std::map<std::string, aws::Subnet> checkGatewaySubnetsInVpc(TestConfig& config, const aws::Ec2Client& ec2_client,
                                                            const std::string& vpc_id);

}  // namespace qvn::deploy
