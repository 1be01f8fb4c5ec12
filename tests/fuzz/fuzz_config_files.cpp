// The shared AWS config and credentials file reader: any text either reads
// or is refused with ConfigError; never a crash or another exception. A
// profile lookup agrees with has_profile().
#include <cstddef>
#include <cstdint>

#include "aws/config_files.hpp"
#include "aws/errors.hpp"
#include "fuzz_support.hpp"

using namespace qvn;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto fields = fuzz::split_fields(data, size, 3);
  try {
    const auto ini = aws::parse_ini(fields[0]);
    for (const auto& [name, section] : ini) {
      for (const auto& [key, value] : section.values) {
        const auto got = section.get(key);
        fuzz::check(got.has_value() == !value.empty(), "get() disagrees with the stored value");
      }
    }
  } catch (const aws::ConfigError&) {
  }
  try {
    const auto config = aws::SharedConfig::from_text(fields[0], fields[1]);
    for (const std::string& name : {std::string("default"), fields[2]}) {
      const aws::ConfigSection profile = config.profile(name);
      if (!config.has_profile(name))
        fuzz::check(profile.values.empty() && profile.sub_sections.empty(), "a missing profile has values");
      (void)profile.get("region");
      (void)profile.get("role_arn");
      (void)config.sso_session(name);
      (void)config.services(name);
    }
  } catch (const aws::ConfigError&) {
  }
  return 0;
}
