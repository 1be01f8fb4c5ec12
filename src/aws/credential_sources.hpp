#pragma once
// The local credential sources: environment variables, a profile's keys,
// credential_process.
// Each returns nullptr when it is not configured, and throws
// CredentialsError when it is configured but broken.
#include <memory>
#include <string>
#include <vector>

#include "aws/config_files.hpp"
#include "aws/credentials.hpp"
#include "http/http_transport.hpp"

namespace qvn::aws {

// AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY, AWS_SESSION_TOKEN (or
// AWS_SECURITY_TOKEN), AWS_CREDENTIAL_EXPIRATION.
std::shared_ptr<CredentialsProvider> environment_credentials_provider();

// aws_access_key_id / aws_secret_access_key / aws_session_token of a profile.
std::shared_ptr<CredentialsProvider> profile_keys_provider(const ConfigSection& profile,
                                                           const std::string& profile_name);

// credential_process of a profile: runs the command without a shell (split
// into words, see split_command_words; the first word is looked up in PATH)
// and reads its JSON answer (Version 1, AccessKeyId, SecretAccessKey,
// SessionToken, Expiration). Refreshed when an expiration is given; an
// answer that has already expired is refused.
std::shared_ptr<CredentialsProvider> process_credentials_provider(const ConfigSection& profile,
                                                                  const std::string& profile_name);

// Reads the answer of a credential process (exposed for tests).
Credentials parse_process_output(const std::string& output, const std::string& profile_name);

// The words of a credential_process command as a POSIX shell would split
// them, without expanding anything: blanks separate words, '...' is taken
// literally, "..." too except that \" and \\ stand for " and \, and outside
// quotes a backslash takes the next character literally. $, |, ;, `, * and #
// are ordinary characters. Throws CredentialsError for an unclosed quote.
std::vector<std::string> split_command_words(const std::string& command);

}  // namespace qvn::aws
