#pragma once
// The VPC's key pair ("quorvane-test-ec2-key-pair-" + VPC id, tagged
// Name = "quorvane-test-ec2-key-pair") and the private key files: the one
// written when the pair is created, and one fetched from SSM Parameter Store.
//
// Private key files are created with mode 0600 from their first byte: the key
// is written to a new file of that mode beside the target, which then
// replaces the target (a symbolic link placed there is replaced, never
// written through; a FIFO or character device is written into, as by the
// toolkit's file writer, lib/file_writer.hpp).
#include <optional>
#include <string>

#include "aws/ec2.hpp"
#include "aws/s3.hpp"
#include "aws/ssm.hpp"
#include "deploy/deploy_args.hpp"
#include "deploy/run_context.hpp"

namespace qvn::deploy {

// backup folder + "/" + vpcId + "/" + key name + ".pem".
std::string privateKeyPath(const DeployArgs& args, const std::string& vpcId);

// Finds or creates the run's VPC's key pair and returns its name. A new pair's
// private key (EC2's key material and one "\n") goes to privateKeyPath, and,
// with a non-empty --s3_bucket, to the bucket through the S3 backup (the
// run's S3 client); a copy
// the bucket holds already (of an earlier pair of that name) is never
// overwritten but moved aside to "<key>.pem.replaced-<unix time>" first.
// An existing pair is reused:
//   - its private key file is there: nothing is written;
//   - it is not, but the bucket holds a copy (backups/<vpc>/<key>.pem): the
//     copy is written to privateKeyPath (0600) and the restore is logged;
//   - no copy either, but an instance of the tool in the VPC (in any state
//     but terminated) was launched with it: kept, with a WARNING naming the
//     key and where it was looked for;
//   - nobody can log in with it and nothing uses it (a first run stopped
//     before it saved the key): the pair, which the lookup knows as the
//     tool's own by its tag, is deleted and made again.
// Temporary files that a killed run left beside the key file are removed
// first. A dry run only looks.
// A creation whose retry meets the pair its first attempt made (the answer,
// and the private key in it, lost on the way: "InvalidKeyPair.Duplicate")
// deletes that pair, when it is the tool's and no instance uses it, and makes
// it once more. A refused creation logs "  Failed to create private key" and
// ends the run (ProgramExit{1}). When the key file cannot be written, the new pair is
// deleted again before the failure is raised: a pair whose private key is
// lost would otherwise be reused by every later run.
std::string createKeyPair(const RunContext& run);

// Deletes the VPC's key pair `keyname` when it is the tool's (name and tag match);
// reports "  Key not found: <name>" otherwise. A dry run only looks. Answers
// whether the pair is gone (a dry run answers true). A refused deletion is
// logged at ERROR and answers false; a failed lookup is raised.
bool deleteKeyPair(const RunContext& run, const std::string& keyname);

// The id of the tool's key pair `keyname` (name and tag match), or nothing.
std::optional<std::string> findToolKeyPair(const aws::Ec2Client& ec2_client, const std::string& keyname);

// Writes the decrypted value of the SSM parameter `pemkey`, exactly as
// stored, to the file named by --key_name (relative to the working folder),
// mode 0600. Every failure is raised.
void getPemKeyFromSSM(const aws::SsmClient& ssm_client, const std::string& pemkey, const DeployArgs& args);

// Replaces `path` with a file of mode 0600 holding `content`. Throws
// FileWriteError (a std::runtime_error) naming the path when it cannot.
void writePrivateFile(const std::string& path, const std::string& content);

}  // namespace qvn::deploy
