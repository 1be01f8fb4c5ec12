#pragma once
// The default credential chain of a plain session, in the SDKs' order:
// environment variables (unless a profile was named), the profile's
// role_arn (source_profile or credential_source), web identity, SSO, the
// profile's keys, credential_process, container credentials, and last the
// instance role from the metadata service (asked only when nothing before
// it found credentials).
#include <memory>

#include "aws/credentials.hpp"

namespace qvn::aws {

class Session;

// `named_profile`: the profile was chosen by the caller, so environment keys
// do not override it.
std::shared_ptr<CredentialsProvider> make_default_credentials_chain(const Session& session, bool named_profile);

}  // namespace qvn::aws
