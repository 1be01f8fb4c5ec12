#pragma once
// An optional listener for the AWS client's own events (retries, region
// redirects, credential sources). The client never logs by itself; a program
// may forward these lines to its log. Lines never carry secrets.
#include <functional>
#include <string>

namespace qvn::aws {

using DebugHook = std::function<void(const std::string&)>;

// Installs the listener for the whole process; an empty function removes it.
void set_debug_hook(DebugHook hook);

// Hands one line to the listener, if any.
void debug_event(const std::string& line);

}  // namespace qvn::aws
