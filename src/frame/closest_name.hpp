#pragma once
// "Did you mean ...?" for names typed on a command line.
#include <optional>
#include <string>
#include <vector>

namespace qvn {

// Edit distance counting an insertion, a deletion, a substitution or the swap
// of two neighbouring characters as one step ("--regoin" is one step from
// "--region").
std::size_t editDistance(const std::string& a, const std::string& b);

// The known name closest to `typed`: the one known name that `typed` begins
// (at least 3 characters besides the dashes), else the nearest by edit
// distance when it is close enough to be a slip (at most a third of the
// name, at least 2; ties go to the name listed first). Nothing when no name
// fits or when `typed` begins several names.
std::optional<std::string> closestName(const std::string& typed, const std::vector<std::string>& known);

// "unknown option '--regoin'; did you mean '--region'?" ("unknown option
// '--x'" when nothing is close). A value written with "=" is left out of the
// message and of the comparison.
std::string unknownOptionMessage(const std::string& typed, const std::vector<std::string>& known);

}  // namespace qvn
