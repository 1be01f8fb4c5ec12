#pragma once
// The credential sources that need no AWS call: environment variables, a
// profile's keys, credential_process, container credentials.
// Each returns nullptr when it is not configured, and throws
// CredentialsError when it is configured but broken.
#include <memory>
#include <string>

#include "aws/config_files.hpp"
#include "aws/credentials.hpp"
#include "aws/http_transport.hpp"

namespace qvn::aws {

// AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY, AWS_SESSION_TOKEN (or
// AWS_SECURITY_TOKEN), AWS_CREDENTIAL_EXPIRATION.
std::shared_ptr<CredentialsProvider> environment_credentials_provider();

// aws_access_key_id / aws_secret_access_key / aws_session_token of a profile.
std::shared_ptr<CredentialsProvider> profile_keys_provider(const ConfigSection& profile,
                                                           const std::string& profile_name);

}  // namespace qvn::aws
