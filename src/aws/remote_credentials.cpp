#include "aws/remote_credentials.hpp"

#include <nlohmann/json.hpp>

#include "aws/errors.hpp"

namespace qvn::aws {

Credentials credentials_from_json(const std::string& body, const std::string& source) {
  auto document = nlohmann::json::parse(body, nullptr, false);
  if (!document.is_object()) throw CredentialsError("the " + source + " answered something other than JSON");
  auto text = [&](const char* key) {
    return document.contains(key) && document[key].is_string() ? document[key].get<std::string>() : "";
  };
  Credentials credentials{text("AccessKeyId"), text("SecretAccessKey"), text("Token"), std::nullopt, source};
  if (credentials.access_key_id.empty() || credentials.secret_access_key.empty()) {
    std::string code = text("Code");
    throw CredentialsError("the " + source + " returned no credentials" + (code.empty() ? "" : " (" + code + ")"));
  }
  // Services answer the expiration as ISO 8601 text; compatible ones also as
  // epoch seconds. An unreadable one leaves the credentials without expiry.
  if (document.contains("Expiration")) credentials.expiration = json_timestamp(document["Expiration"]);
  return credentials;
}

}  // namespace qvn::aws
