// The IPv4 address and CIDR helpers: parse and is_valid agree, what parses
// prints back to text that parses to the same value, and index arithmetic
// stays inside the network.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>

#include "fuzz_support.hpp"
#include "lib/ipv4.hpp"

using namespace qvn;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  bool parsed = false;
  try {
    const Ipv4Address a = Ipv4Address::parse(text);
    parsed = true;
    fuzz::check(Ipv4Address::parse(a.to_string()) == a, "address round trip");
    fuzz::check(a.to_string() == text, "an address that is not written as read");
  } catch (const Ipv4Error&) {
  }
  fuzz::check(parsed == Ipv4Address::is_valid(text), "is_valid disagrees with parse (address)");

  for (HostBits bits : {HostBits::Reject, HostBits::Mask}) {
    parsed = false;
    try {
      const Ipv4Network n = Ipv4Network::parse(text, bits);
      parsed = true;
      fuzz::check(Ipv4Network::parse(n.to_string()) == n, "network round trip");
      fuzz::check(n.contains(n.network_address()) && n.contains(n.broadcast_address()), "ends outside");
      fuzz::check(n.at(0) == n.network_address() && n.at(-1) == n.broadcast_address(), "at() ends");
      const int64_t index = size > 0 ? static_cast<int64_t>(data[0]) * 977 - 60000 : 1;
      try {
        fuzz::check(n.contains(n.at(index)), "at() left the network");
      } catch (const std::out_of_range&) {
        fuzz::check(index >= static_cast<int64_t>(n.size()) || -index > static_cast<int64_t>(n.size()),
                    "at() refused an index inside the network");
      }
      if (n.size() >= 2) fuzz::check(second_address(n.to_string()) == n.at(1).to_string(), "second address");
    } catch (const Ipv4Error&) {
    }
    fuzz::check(parsed == Ipv4Network::is_valid(text, bits), "is_valid disagrees with parse (network)");
  }
  return 0;
}
