#include "deploy/run_summary.hpp"

namespace qvn::deploy {

void countChange(core::RunTally* tally, core::Change change, const char* kind) {
  if (tally != nullptr) tally->add(change, kind);
}

void countChange(const DeployArgs& args, core::Change change, const char* kind) {
  countChange(args.tally, change, kind);
}

void notePath(const DeployArgs& args, const char* label, const std::string& path) {
  if (args.tally != nullptr) args.tally->notePath(label, path);
}

const char* leftoverKind(const std::string& item) {
  const auto starts = [&item](const char* prefix) { return item.starts_with(prefix); };
  if (starts("instance profile ") || starts("role ") || starts("policy ")) return kinds::kIamObject;
  if (starts("instance ")) return kinds::kInstance;
  if (starts("Elastic IP")) return kinds::kElasticIp;
  if (starts("security group")) return kinds::kGroup;
  if (starts("key pair")) return kinds::kKeyPair;
  return "other resource";
}

}  // namespace qvn::deploy
