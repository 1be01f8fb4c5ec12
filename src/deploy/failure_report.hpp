#pragma once
// Failures that a deployment step writes to standard error instead of the
// log (so that they do not reach the error-status handler).
#include <exception>
#include <string>

namespace qvn::deploy {

// One line "probe_deploy: <where>: <description>" on standard error, written
// whole. The description of an AWS refusal names the operation and its code;
// no secret is part of any failure the toolkit raises.
void reportFailure(const std::string& where, const std::exception& failure);

// The failure's own text, as the log shows it after the "**Error**" marker.
std::string failureText(const std::exception& failure);

}  // namespace qvn::deploy
