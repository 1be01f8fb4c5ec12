#include "aws/debug_hook.hpp"

#include <memory>
#include <mutex>

namespace qvn::aws {
namespace {

std::mutex hook_mutex;
std::shared_ptr<DebugHook> current_hook;

}  // namespace

void set_debug_hook(DebugHook hook) {
  std::lock_guard lock(hook_mutex);
  current_hook = hook ? std::make_shared<DebugHook>(std::move(hook)) : nullptr;
}

void debug_event(const std::string& line) {
  std::shared_ptr<DebugHook> hook;
  {
    std::lock_guard lock(hook_mutex);
    hook = current_hook;
  }
  if (hook) (*hook)(line);
}

}  // namespace qvn::aws
