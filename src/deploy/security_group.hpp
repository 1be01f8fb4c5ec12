#pragma once
// The VPC's security groups of the test instances: "quorvane-test-ec2-sg"
// (SSH from the workflow engine's public address only) and
// "quorvane-test-ec2-private-interface-sg" (all traffic, for a private
// interface). A group is known by its VPC and name; both are tagged with
// Name = group name, then the user tags.
#include <optional>
#include <string>

#include "aws/ec2.hpp"
#include "deploy/run_context.hpp"

namespace qvn::deploy {

// The id of the group `sg_name` in `vpc_id`, or nothing. EC2's
// "InvalidGroup.NotFound" logs "  **Error** SG not found <name> in <vpc>" at
// ERROR; every refusal answers nothing. Transport failures are raised.
std::optional<std::string> getSgId(const aws::Ec2Client& ec2_client, const std::string& vpc_id,
                                   const std::string& sg_name);

// Finds or creates the SSH group of the run's VPC; returns its id, or nothing in
// a dry run that would have created it. A group found without any inbound
// rule (a run was stopped before adding it) gets its rule now, the echo
// service asked as for a new group; one found with rules is left as it is. Creation asks the public-IP echo
// service (QUORVANE_IP_ECHO_URL) for this host's address, creates the group
// and admits TCP port 22 from that address/32. Any failure of that is written
// to standard error and ends the program (ProgramExit{1}); a group created
// before its rule was refused is deleted first, so that no later run reuses
// a group without its SSH rule.
std::optional<std::string> createSG(const RunContext& run);

// Finds or creates the private-interface group of the VPC (all protocols
// from 0.0.0.0/0), with the same failure handling; no echo query.
std::optional<std::string> createPrivateInfSG(const RunContext& run);

// Deletes the group `sgId` unless this is a dry run, and answers whether
// it is gone (a dry run answers true). EC2's "DependencyViolation" (an
// interface of a terminated instance not yet deleted) is tried again up to
// kGroupDeleteAttempts times, kGroupDeleteRetrySeconds apart; "InvalidGroup.NotFound"
// means gone. A refusal that remains is logged at ERROR ("  **Error** ...")
// and written to standard error, and the caller goes on.
inline constexpr int kGroupDeleteAttempts = 6;
inline constexpr double kGroupDeleteRetrySeconds = 5;
bool deleteSG(const RunContext& run, const std::string& sgId);

}  // namespace qvn::deploy
