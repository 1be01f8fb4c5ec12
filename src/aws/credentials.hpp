#pragma once
// Credentials and the providers that hand them out.
//
// A provider is shared by every client of a session and called from many
// threads. RefreshingCredentialsProvider caches what its source returns and
// fetches again before expiry: with less than 15 minutes left one caller
// refreshes while the others keep using the cached set; with less than 10
// minutes left (or nothing cached) every caller waits for that one fetch.
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "aws/timestamp.hpp"
#include "core/clock.hpp"

namespace qvn::aws {

struct Credentials {
  std::string access_key_id;
  std::string secret_access_key;
  std::string session_token;                  // empty: long-term keys
  std::optional<core::TimePoint> expiration;  // absent: never expire
  std::string source;                         // where they came from: "environment", "assume-role", ...
};

class CredentialsProvider {
 public:
  virtual ~CredentialsProvider() = default;
  // Current credentials; throws CredentialsError when none can be had.
  virtual Credentials credentials() = 0;
};

class StaticCredentialsProvider final : public CredentialsProvider {
 public:
  explicit StaticCredentialsProvider(Credentials credentials);
  Credentials credentials() override;

 private:
  Credentials credentials_;
};

class RefreshingCredentialsProvider final : public CredentialsProvider {
 public:
  using Fetch = std::function<Credentials()>;
  static constexpr std::chrono::minutes kAdvisoryRefresh{15};
  static constexpr std::chrono::minutes kMandatoryRefresh{10};

  explicit RefreshingCredentialsProvider(Fetch fetch);
  // Starts with credentials already in hand (no fetch until they age).
  RefreshingCredentialsProvider(Fetch fetch, Credentials initial);
  Credentials credentials() override;

 private:
  Fetch fetch_;
  std::mutex mutex_;
  std::condition_variable fetched_;
  bool fetching_ = false;
  std::optional<Credentials> cached_;
};

// Tries `sources` in order, once, on first use; the first one that yields
// a provider serves from then on. When none does, throws CredentialsError
// naming every source tried.
class ChainCredentialsProvider final : public CredentialsProvider {
 public:
  struct Source {
    std::string description;  // "environment variables", "shared credentials file ~/.aws/credentials"
    // Returns nullptr when this source is not configured.
    std::function<std::shared_ptr<CredentialsProvider>()> load;
  };
  explicit ChainCredentialsProvider(std::vector<Source> sources);
  Credentials credentials() override;

 private:
  std::shared_ptr<CredentialsProvider> resolve();

  std::vector<Source> sources_;
  std::mutex mutex_;
  std::shared_ptr<CredentialsProvider> chosen_;
};

}  // namespace qvn::aws
