#include "deploy/run_summary.hpp"

#include "deploy/failure_report.hpp"
#include "deploy/run_context.hpp"

namespace qvn::deploy {

void countChange(core::RunTally* tally, core::Change change, const char* kind, const std::string& id) {
  if (tally == nullptr) return;
  if (id.empty()) {
    tally->add(change, kind);
  } else {
    tally->addResource(change, kind, id, workerSubnet());
  }
}

void RunContext::count(core::Change change, const char* kind, const std::string& id) const {
  countChange(tally, change, kind, id);
}

void RunContext::notePath(const char* label, const std::string& path) const {
  if (tally != nullptr) tally->notePath(label, path);
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
