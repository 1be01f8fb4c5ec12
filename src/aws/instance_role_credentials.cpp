// The instance role's credentials, from the metadata service.
#include <random>

#include "aws/errors.hpp"
#include "aws/imds.hpp"
#include "aws/remote_credentials.hpp"
#include "aws/text_codec.hpp"
#include "core/clock.hpp"

namespace qvn::aws {

std::shared_ptr<CredentialsProvider> instance_role_provider(const std::shared_ptr<http::HttpTransport>& transport,
                                                            const ImdsSettings& settings) {
  if (settings.disabled) return nullptr;
  auto client = std::make_shared<ImdsClient>(transport, settings);
  const std::string base = "/latest/meta-data/iam/security-credentials/";
  auto fetch = [client, base] {
    http::HttpResponse role = client->get(base);
    std::string name = text::trim(role.body);
    if (role.status != 200 || name.empty())
      throw CredentialsError("the instance metadata service has no role (HTTP " + std::to_string(role.status) + ")");
    name = name.substr(0, name.find('\n'));
    http::HttpResponse answer = client->get(base + name);
    if (answer.status != 200)
      throw CredentialsError("the instance metadata service refused the role's credentials (HTTP " +
                             std::to_string(answer.status) + ")");
    Credentials credentials = credentials_from_json(answer.body, "instance metadata service");
    // Static stability: credentials about to expire are used a little
    // longer rather than asking the service again and again.
    auto floor = core::now() + std::chrono::minutes(15);
    if (credentials.expiration && *credentials.expiration < floor) {
      static thread_local std::mt19937 random{std::random_device{}()};
      credentials.expiration = floor + std::chrono::seconds(std::uniform_int_distribution<int>(120, 600)(random));
    }
    return credentials;
  };
  // The chain only settles on the metadata service when it answers.
  try {
    Credentials first = fetch();
    return std::make_shared<RefreshingCredentialsProvider>(fetch, first);
  } catch (const AwsError&) {
    return nullptr;
  }
}

}  // namespace qvn::aws
