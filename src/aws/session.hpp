#pragma once
// An AWS session: one source of credentials, a default region and the
// settings of the shared config files, from which service clients are made.
//
// Making a session reads the environment and the config files but sends
// nothing: credentials are fetched on first use, cached, shared by every
// client of the session and refreshed before they expire.
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "aws/call_listener.hpp"
#include "aws/config_files.hpp"
#include "aws/credentials.hpp"
#include "aws/endpoints.hpp"
#include "aws/retry.hpp"
#include "http/http_transport.hpp"

namespace qvn::aws {

struct SessionOptions {
  // A named profile. Absent: AWS_PROFILE / AWS_DEFAULT_PROFILE or "default",
  // with the environment's keys first in the credential chain.
  std::optional<std::string> profile;
  // Default region for clients; absent: AWS_REGION, AWS_DEFAULT_REGION, the
  // profile's region.
  std::optional<std::string> region;
  // HTTP transport; null: the process-wide libcurl transport.
  std::shared_ptr<http::HttpTransport> transport;
  // Told about the retries, waits and redirects of the session's calls (and
  // of the sessions its credentials make); null: nobody.
  std::shared_ptr<CallListener> listener = nullptr;
};

class Session : public std::enable_shared_from_this<Session> {
 public:
  // A plain session: the named profile, or the default credential chain.
  // Throws CredentialsError for a profile that does not exist and
  // ConfigError for unusable settings. (Defined beside the default chain,
  // in credentials_chain.cpp.)
  static std::shared_ptr<Session> create(SessionOptions options = {});
  // A session on fixed (possibly temporary) credentials, with no profile of
  // its own; the region still comes from the options or the environment.
  static std::shared_ptr<Session> from_credentials(const std::string& access_key_id,
                                                   const std::string& secret_access_key,
                                                   const std::string& session_token = "", SessionOptions options = {});
  // A session on any provider (an assumed role, a test double).
  static std::shared_ptr<Session> from_provider(std::shared_ptr<CredentialsProvider> provider,
                                                SessionOptions options = {});

  // The profile the session reads its settings from ("default" when none was named).
  const std::string& profile_name() const { return profile_name_; }
  // The default region for clients; absent when none is configured.
  const std::optional<std::string>& region() const { return region_; }

  Credentials credentials() const { return provider_->credentials(); }
  std::shared_ptr<CredentialsProvider> credentials_provider() const { return provider_; }
  std::shared_ptr<http::HttpTransport> transport() const { return transport_; }
  const std::shared_ptr<CallListener>& listener() const { return listener_; }
  const SharedConfig& config() const { return config_; }
  const ConfigSection& profile() const { return profile_; }

  RetryConfig retry_config() const { return retry_; }
  // Endpoint settings of one service ("ec2", "s3", ...) with every configured
  // override applied (AWS_ENDPOINT_URL_<SERVICE>, AWS_ENDPOINT_URL, the
  // profile's services section and endpoint_url).
  EndpointSettings endpoint_settings(const std::string& service) const;
  // Retry budget and send rate shared by the session's clients of one
  // service and region.
  std::shared_ptr<RetryState> retry_state(const std::string& service, const std::string& region);

  // S3: the region a bucket was found to live in (from a region redirect),
  // remembered for every client of the session; absent until one was seen.
  std::optional<std::string> bucket_region(const std::string& bucket) const;
  void remember_bucket_region(const std::string& bucket, const std::string& region);

  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

 private:
  Session(SessionOptions options, bool named_profile);

  std::string profile_name_;
  std::optional<std::string> region_;
  std::shared_ptr<http::HttpTransport> transport_;
  std::shared_ptr<CallListener> listener_;
  SharedConfig config_;
  ConfigSection profile_;
  RetryConfig retry_;
  std::shared_ptr<CredentialsProvider> provider_;
  std::mutex retry_mutex_;
  std::map<std::string, std::shared_ptr<RetryState>> retry_states_;
  mutable std::mutex bucket_mutex_;
  std::map<std::string, std::string> bucket_regions_;
};

}  // namespace qvn::aws
