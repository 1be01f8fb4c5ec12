#include "lib/ipv4.hpp"

#include <gtest/gtest.h>

#include <string>

namespace qvn {
namespace {

TEST(Ipv4Address, ParsesAndPrintsDottedText) {
  EXPECT_EQ(Ipv4Address::parse("0.0.0.0").value(), 0u);
  EXPECT_EQ(Ipv4Address::parse("255.255.255.255").value(), 0xffffffffu);
  EXPECT_EQ(Ipv4Address::parse("10.20.30.65").value(), 0x0a141e41u);
  EXPECT_EQ(Ipv4Address::parse("192.168.0.1").to_string(), "192.168.0.1");
  EXPECT_LT(Ipv4Address::parse("10.0.0.9"), Ipv4Address::parse("10.0.0.10"));
}

TEST(Ipv4Address, RefusesMalformedTextNamingIt) {
  for (const char* bad :
       {"", "10.0.0", "10.0.0.0.1", "10.0.0.256", "10..0.1", "10.0.0.", ".10.0.0", " 10.0.0.1", "10.0.0.1 ",
        "10.0.0.-1", "10.0.0.+1", "010.0.0.1", "10.0.0.1a", "1000.0.0.1", "a.b.c.d", "10.0.0.1/32", "::1"}) {
    EXPECT_FALSE(Ipv4Address::is_valid(bad)) << bad;
    try {
      Ipv4Address::parse(bad);
      ADD_FAILURE() << "accepted " << bad;
    } catch (const Ipv4Error& error) {
      EXPECT_EQ(std::string(error.what()), "not an IPv4 address: \"" + std::string(bad) + "\"");
    }
  }
}

TEST(Ipv4Address, EscapesControlCharactersInMessages) {
  try {
    Ipv4Address::parse("10.0.0.1\n");
    FAIL() << "accepted a newline";
  } catch (const Ipv4Error& error) {
    EXPECT_EQ(std::string(error.what()), "not an IPv4 address: \"10.0.0.1\\x0a\"");
  }
}

TEST(Ipv4Network, ParsesCidrText) {
  auto net = Ipv4Network::parse("10.20.30.64/26");
  EXPECT_EQ(net.network_address().to_string(), "10.20.30.64");
  EXPECT_EQ(net.broadcast_address().to_string(), "10.20.30.127");
  EXPECT_EQ(net.netmask().to_string(), "255.255.255.192");
  EXPECT_EQ(net.prefix_length(), 26);
  EXPECT_EQ(net.size(), 64u);
  EXPECT_EQ(net.to_string(), "10.20.30.64/26");

  EXPECT_EQ(Ipv4Network::parse("0.0.0.0/0").size(), std::uint64_t{1} << 32);
  EXPECT_EQ(Ipv4Network::parse("10.1.2.3").to_string(), "10.1.2.3/32");
  EXPECT_EQ(Ipv4Network::parse("10.1.2.3/32").size(), 1u);
}

TEST(Ipv4Network, RefusesMalformedText) {
  for (const char* bad : {"10.0.0.0/", "10.0.0.0/33", "10.0.0.0/-1", "10.0.0.0/024", "10.0.0.0/ 24", "10.0.0/24", "/24",
                          "10.0.0.0/24/1", "10.0.0.0/255.255.255.0", ""}) {
    EXPECT_FALSE(Ipv4Network::is_valid(bad)) << bad;
    try {
      Ipv4Network::parse(bad);
      ADD_FAILURE() << "accepted " << bad;
    } catch (const Ipv4Error& error) {
      EXPECT_EQ(std::string(error.what()), "not an IPv4 network: \"" + std::string(bad) + "\"");
    }
  }
}

TEST(Ipv4Network, HostBitsAreRefusedUnlessMasked) {
  try {
    Ipv4Network::parse("10.0.0.5/24");
    FAIL() << "host bits accepted";
  } catch (const Ipv4Error& error) {
    EXPECT_EQ(std::string(error.what()), "IPv4 network has host bits set: \"10.0.0.5/24\"");
  }
  EXPECT_EQ(Ipv4Network::parse("10.0.0.5/24", HostBits::Mask).to_string(), "10.0.0.0/24");
  EXPECT_EQ(Ipv4Network::parse("255.255.255.255/0", HostBits::Mask).to_string(), "0.0.0.0/0");
  EXPECT_THROW(Ipv4Network(Ipv4Address::parse("10.0.0.1"), 31), Ipv4Error);
  EXPECT_THROW(Ipv4Network(Ipv4Address(0), 33), Ipv4Error);
}

TEST(Ipv4Network, MembershipAtTheEdges) {
  auto net = Ipv4Network::parse("10.20.30.64/26");
  EXPECT_TRUE(net.contains(Ipv4Address::parse("10.20.30.64")));
  EXPECT_TRUE(net.contains(Ipv4Address::parse("10.20.30.127")));
  EXPECT_FALSE(net.contains(Ipv4Address::parse("10.20.30.63")));
  EXPECT_FALSE(net.contains(Ipv4Address::parse("10.20.30.128")));
  EXPECT_FALSE(net.contains(Ipv4Address::parse("11.20.30.65")));

  auto all = Ipv4Network::parse("0.0.0.0/0");
  EXPECT_TRUE(all.contains(Ipv4Address(0)));
  EXPECT_TRUE(all.contains(Ipv4Address(0xffffffffu)));

  auto one = Ipv4Network::parse("172.16.0.9/32");
  EXPECT_TRUE(one.contains(Ipv4Address::parse("172.16.0.9")));
  EXPECT_FALSE(one.contains(Ipv4Address::parse("172.16.0.8")));
  EXPECT_FALSE(one.contains(Ipv4Address::parse("172.16.0.10")));
}

TEST(Ipv4Network, AddressAtIndex) {
  EXPECT_EQ(Ipv4Network::parse("10.20.30.0/24").at(1).to_string(), "10.20.30.1");
  EXPECT_EQ(Ipv4Network::parse("10.20.30.64/26").at(1).to_string(), "10.20.30.65");
  EXPECT_EQ(Ipv4Network::parse("10.20.30.64/26").at(0).to_string(), "10.20.30.64");
  EXPECT_EQ(Ipv4Network::parse("10.20.30.64/26").at(63).to_string(), "10.20.30.127");
  EXPECT_EQ(Ipv4Network::parse("10.20.30.64/26").at(-1).to_string(), "10.20.30.127");
  EXPECT_EQ(Ipv4Network::parse("10.20.30.64/26").at(-64).to_string(), "10.20.30.64");
  EXPECT_EQ(Ipv4Network::parse("0.0.0.0/0").at(0xffffffffLL).to_string(), "255.255.255.255");
  EXPECT_EQ(Ipv4Network::parse("10.0.0.7/32").at(0).to_string(), "10.0.0.7");
}

TEST(Ipv4Network, IndexOutsideTheNetworkIsRefused) {
  auto net = Ipv4Network::parse("10.20.30.64/26");
  EXPECT_THROW(net.at(64), std::out_of_range);
  EXPECT_THROW(net.at(-65), std::out_of_range);
  EXPECT_THROW(Ipv4Network::parse("0.0.0.0/0").at(std::int64_t{1} << 32), std::out_of_range);
  // The last network of the address space must not wrap around to 0.0.0.0.
  EXPECT_THROW(Ipv4Network::parse("255.255.255.252/30").at(4), std::out_of_range);
  try {
    net.at(64);
  } catch (const std::out_of_range& error) {
    EXPECT_EQ(std::string(error.what()), "address index 64 is outside 10.20.30.64/26 (64 addresses)");
  }
}

TEST(Ipv4Network, SecondAddressOfCidr) {
  EXPECT_EQ(second_address("10.20.30.0/24"), "10.20.30.1");
  EXPECT_EQ(second_address("10.20.30.64/26"), "10.20.30.65");
  EXPECT_EQ(second_address("10.0.0.254/31"), "10.0.0.255");
  EXPECT_THROW(second_address("10.0.0.1/32"), std::out_of_range);
  EXPECT_THROW(second_address("10.20.30.0/24 "), Ipv4Error);
}

}  // namespace
}  // namespace qvn
