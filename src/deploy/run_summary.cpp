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

std::vector<std::string> descriptionsOf(const Leftovers& items) {
  std::vector<std::string> descriptions;
  descriptions.reserve(items.size());
  for (const Leftover& item : items) descriptions.push_back(item.description);
  return descriptions;
}

}  // namespace qvn::deploy
