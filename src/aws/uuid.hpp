#pragma once
#include <string>

namespace qvn::aws {

// A random (version 4) UUID in lower-case text, e.g. for idempotency tokens.
std::string make_uuid();

}  // namespace qvn::aws
