#pragma once
// Runs a command-line parser the way main does and keeps what it printed and
// the exit status it asked for, for the option-table tests of both programs.
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "core/run_outcome.hpp"

namespace qvn::test_support {

template <class Args>
struct Parsed {
  std::optional<Args> args;
  int exit_status = -1;
  std::string out, err;
};

template <class Args, class Parser>
Parsed<Args> parse_with(Parser parser, const std::vector<std::string>& arguments) {
  Parsed<Args> result;
  std::ostringstream out, err;
  try {
    result.args = parser(arguments, out, err);
  } catch (const ProgramExit& e) {
    result.exit_status = e.status;
  }
  result.out = out.str();
  result.err = err.str();
  return result;
}

}  // namespace qvn::test_support
