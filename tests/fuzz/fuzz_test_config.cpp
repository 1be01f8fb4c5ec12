// The test configuration reader: any text either reads or fails with
// TestConfigError; what reads survives a write and a second read unchanged.
#include <cstddef>
#include <cstdint>

#include "fuzz_support.hpp"
#include "lib/test_config.hpp"

using namespace qvn;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  try {
    TestConfig config = TestConfig::parse(text, "fuzz.config");
    const std::string dumped = config.dump();
    fuzz::check(!dumped.empty() && dumped.back() == '\n', "serialised form without its newline");
    const TestConfig again = TestConfig::parse(dumped, "again");
    fuzz::check(again.dump() == dumped, "a write and a read changed the document");
    for (size_t i = 0; i < config.size(); ++i) {
      try {
        ConfigEntry entry = config.entry(i);
        for (const char* member : {"private_subnet_id", "gw_subnet_id", "gw_private_ip", "nat_gw_id"}) {
          if (entry.has(member)) (void)entry.optional_string(member);
        }
        (void)entry.address("gw_private_ip");
        (void)entry.network("private_subnet_cidr");
      } catch (const TestConfigError&) {
      }
    }
    try {
      config.require_strings({"private_subnet_id", "gw_subnet_id"});
    } catch (const TestConfigError&) {
    }
  } catch (const TestConfigError&) {
  }
  return 0;
}
