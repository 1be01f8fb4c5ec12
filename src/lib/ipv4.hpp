#pragma once
// IPv4 addresses and networks in dotted text and CIDR notation.
//
// Parsing is strict and never guesses:
// - an address is exactly four decimal parts 0..255 joined by dots; a part
//   with a leading zero ("010") is refused because some tools read it as
//   octal, and so are blanks, signs and empty parts;
// - a network is "<address>/<prefix>" with a decimal prefix 0..32, or a bare
//   address, which stands for the /32 network of that one address;
// - by default a network text with host bits set ("10.0.0.5/24") is refused:
//   every CIDR the toolkit reads (subnet CIDR blocks from EC2 and the
//   controller) names a network, so host bits there mean a wrong value.
//   Callers that want the enclosing network instead pass HostBits::Mask.
// Every refusal is an Ipv4Error whose one-line message quotes the bad text.
#include <compare>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace qvn {

class Ipv4Error : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

class Ipv4Address {
 public:
  constexpr Ipv4Address() = default;
  constexpr explicit Ipv4Address(std::uint32_t value) : value_(value) {}

  // Throws Ipv4Error for anything but a well-formed dotted address.
  static Ipv4Address parse(std::string_view text);
  // True when `text` parses as an address.
  static bool is_valid(std::string_view text) noexcept;

  constexpr std::uint32_t value() const { return value_; }
  std::string to_string() const;

  friend constexpr auto operator<=>(Ipv4Address, Ipv4Address) = default;

 private:
  std::uint32_t value_ = 0;
};

enum class HostBits { Reject, Mask };

class Ipv4Network {
 public:
  // Throws Ipv4Error when the prefix is above 32 or, with HostBits::Reject,
  // when `address` has bits set past the prefix.
  Ipv4Network(Ipv4Address address, int prefix_length, HostBits host_bits = HostBits::Reject);

  // Throws Ipv4Error for malformed text (see the rules at the top).
  static Ipv4Network parse(std::string_view text, HostBits host_bits = HostBits::Reject);
  static bool is_valid(std::string_view text, HostBits host_bits = HostBits::Reject) noexcept;

  Ipv4Address network_address() const { return network_; }
  Ipv4Address broadcast_address() const { return Ipv4Address(network_.value() | host_mask()); }
  Ipv4Address netmask() const { return Ipv4Address(~host_mask()); }
  int prefix_length() const { return prefix_; }
  // Number of addresses in the network, network and broadcast addresses
  // included (2^32 for 0.0.0.0/0).
  std::uint64_t size() const { return std::uint64_t{1} << (32 - prefix_); }

  bool contains(Ipv4Address address) const;

  // The address at position `index` counted from the network address:
  // index 0 is the network address, 1 the next ("10.20.30.64/26" -> 1 is
  // "10.20.30.65"), size() - 1 the broadcast address. Negative indexes count
  // back from the end (-1 is the broadcast address). Throws std::out_of_range
  // for an index outside the network.
  Ipv4Address at(std::int64_t index) const;

  // "<network address>/<prefix>".
  std::string to_string() const;

  friend bool operator==(const Ipv4Network&, const Ipv4Network&) = default;

 private:
  std::uint32_t host_mask() const;

  Ipv4Address network_;
  int prefix_ = 32;
};

// The second address of a CIDR (network address plus one) as dotted text,
// the address the test configuration records as a subnet's gateway address.
std::string second_address(std::string_view cidr);

}  // namespace qvn
