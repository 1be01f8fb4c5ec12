#pragma once
// Credential sources reached over HTTP: container credentials
// (container_credentials.cpp), the instance role of the metadata service
// (instance_role_credentials.cpp) and the SSO portal (sso_credentials.cpp).
// Each returns nullptr when not configured (the metadata service: when it
// has no role to offer), and throws CredentialsError when configured but
// unusable.
#include <memory>
#include <string>

#include "aws/config_files.hpp"
#include "aws/credentials.hpp"
#include "aws/imds.hpp"
#include "http/http_transport.hpp"

namespace qvn::aws {

// AWS_CONTAINER_CREDENTIALS_RELATIVE_URI (against http://169.254.170.2) or
// AWS_CONTAINER_CREDENTIALS_FULL_URI (https, or http to a loopback or the
// container hosts), with AWS_CONTAINER_AUTHORIZATION_TOKEN(_FILE).
std::shared_ptr<CredentialsProvider> container_credentials_provider(
    const std::shared_ptr<http::HttpTransport>& transport);

// The instance role, through IMDSv2. Asks the service at once: a host with no
// metadata service (or no role) yields nullptr within the time limit.
std::shared_ptr<CredentialsProvider> instance_role_provider(const std::shared_ptr<http::HttpTransport>& transport,
                                                            const ImdsSettings& settings);

// sso_session / sso_start_url profiles, with the token cached by the
// command-line SSO login (~/.aws/sso/cache/<sha1>.json) and the portal's
// GetRoleCredentials. `portal_endpoint` overrides the portal's URL.
std::shared_ptr<CredentialsProvider> sso_credentials_provider(const SharedConfig& config, const ConfigSection& profile,
                                                              const std::string& profile_name,
                                                              const std::shared_ptr<http::HttpTransport>& transport,
                                                              const std::string& portal_endpoint = "");

// AccessKeyId / SecretAccessKey / Token / Expiration, as the container and
// metadata services answer; `source` names the service in messages and in
// the credentials. Throws CredentialsError for anything else.
Credentials credentials_from_json(const std::string& body, const std::string& source);

}  // namespace qvn::aws
