// The JSON readers: SSM answers, credential-process output and the
// controller's answers (gateway records).
#include <cstddef>
#include <cstdint>
#include <memory>

#include "aws/credential_sources.hpp"
#include "aws/errors.hpp"
#include "aws/paginator.hpp"
#include "aws/ssm.hpp"
#include "fuzz_support.hpp"
#include "lib/qvn_https.hpp"
#include "lib/spoke.hpp"

using namespace qvn;
using namespace qvn::aws;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string body(reinterpret_cast<const char*>(data), size);
  const SsmClient ssm(std::make_shared<fuzz::EchoSender>(SsmClient::service_id(), body));
  try {
    ssm.get_parameter({});
  } catch (const AwsError&) {
  }
  try {
    ssm.get_parameters_by_path({}, Pages::One);
  } catch (const AwsError&) {
  }
  try {
    const Credentials c = parse_process_output(body, "fuzz");
    fuzz::check(!c.access_key_id.empty() && !c.secret_access_key.empty(), "credentials without keys");
  } catch (const AwsError&) {
  }
  try {
    const nlohmann::json answer = ControllerResponse{200, body}.json();
    if (answer.is_object() && answer.contains("results") && answer["results"].is_array()) {
      for (const auto& gw : answer["results"]) {
        try {
          (void)Spoke::createSpoke(gw).toDict();
        } catch (const std::exception&) {
          // A record the search cannot use is refused by the search; it must
          // only never crash.
        }
      }
    }
  } catch (const ControllerError&) {
  }
  return 0;
}
