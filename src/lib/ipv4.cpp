#include "lib/ipv4.hpp"

#include <optional>

#include "aws/text_codec.hpp"

namespace qvn {
namespace {

std::string quoted(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) {
      out += "\\x" + aws::text::hex(std::string_view(&c, 1));
    } else {
      out += c;
    }
  }
  return out + "\"";
}

// A decimal number without sign, blanks or leading zero, at most `max`.
std::optional<unsigned> parse_decimal(std::string_view text, unsigned max) {
  if (text.empty() || text.size() > 3) return std::nullopt;
  if (text.size() > 1 && text[0] == '0') return std::nullopt;
  unsigned value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value > max) return std::nullopt;
  return value;
}

std::optional<std::uint32_t> parse_address(std::string_view text) {
  std::uint32_t value = 0;
  for (int part = 0; part < 4; ++part) {
    std::size_t dot = text.find('.');
    bool last = part == 3;
    if (last != (dot == std::string_view::npos)) return std::nullopt;
    auto octet = parse_decimal(text.substr(0, dot), 255);
    if (!octet) return std::nullopt;
    value = (value << 8) | *octet;
    if (!last) text.remove_prefix(dot + 1);
  }
  return value;
}

std::uint32_t mask_for(int prefix) { return prefix == 0 ? 0u : ~std::uint32_t{0} << (32 - prefix); }

}  // namespace

Ipv4Address Ipv4Address::parse(std::string_view text) {
  auto value = parse_address(text);
  if (!value) throw Ipv4Error("not an IPv4 address: " + quoted(text));
  return Ipv4Address(*value);
}

bool Ipv4Address::is_valid(std::string_view text) noexcept { return parse_address(text).has_value(); }

std::string Ipv4Address::to_string() const {
  std::string out;
  for (int shift = 24; shift >= 0; shift -= 8) {
    if (!out.empty()) out += '.';
    out += std::to_string((value_ >> shift) & 0xff);
  }
  return out;
}

Ipv4Network::Ipv4Network(Ipv4Address address, int prefix_length, HostBits host_bits) : prefix_(prefix_length) {
  if (prefix_length < 0 || prefix_length > 32) {
    throw Ipv4Error("IPv4 prefix length out of range 0..32: " + std::to_string(prefix_length));
  }
  std::uint32_t mask = mask_for(prefix_length);
  if (host_bits == HostBits::Reject && (address.value() & ~mask) != 0) {
    throw Ipv4Error("IPv4 network has host bits set: \"" + address.to_string() + "/" + std::to_string(prefix_length) +
                    "\"");
  }
  network_ = Ipv4Address(address.value() & mask);
}

Ipv4Network Ipv4Network::parse(std::string_view text, HostBits host_bits) {
  std::size_t slash = text.find('/');
  auto address = parse_address(text.substr(0, slash));
  std::optional<unsigned> prefix = 32;
  if (slash != std::string_view::npos) prefix = parse_decimal(text.substr(slash + 1), 32);
  if (!address || !prefix) throw Ipv4Error("not an IPv4 network: " + quoted(text));
  std::uint32_t mask = mask_for(static_cast<int>(*prefix));
  if (host_bits == HostBits::Reject && (*address & ~mask) != 0) {
    throw Ipv4Error("IPv4 network has host bits set: " + quoted(text));
  }
  return Ipv4Network(Ipv4Address(*address), static_cast<int>(*prefix), HostBits::Mask);
}

bool Ipv4Network::is_valid(std::string_view text, HostBits host_bits) noexcept {
  try {
    parse(text, host_bits);
    return true;
  } catch (const Ipv4Error&) {
    return false;
  }
}

std::uint32_t Ipv4Network::host_mask() const { return ~mask_for(prefix_); }

bool Ipv4Network::contains(Ipv4Address address) const {
  return (address.value() & mask_for(prefix_)) == network_.value();
}

Ipv4Address Ipv4Network::at(std::int64_t index) const {
  auto count = static_cast<std::int64_t>(size());
  std::int64_t offset = index < 0 ? count + index : index;
  if (offset < 0 || offset >= count) {
    throw std::out_of_range("address index " + std::to_string(index) + " is outside " + to_string() + " (" +
                            std::to_string(count) + " addresses)");
  }
  return Ipv4Address(network_.value() + static_cast<std::uint32_t>(offset));
}

std::string Ipv4Network::to_string() const { return network_.to_string() + "/" + std::to_string(prefix_); }

std::string second_address(std::string_view cidr) { return Ipv4Network::parse(cidr).at(1).to_string(); }

}  // namespace qvn
