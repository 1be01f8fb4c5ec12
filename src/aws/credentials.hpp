#pragma once
// Credentials and the providers that hand them out.
//
// A provider is shared by every client of a session and called from many
// threads. RefreshingCredentialsProvider caches what its source returns and
// fetches again before expiry: inside the advisory window (by default less
// than 15 minutes left) one caller refreshes while the others keep using the
// cached set; inside the mandatory window (10 minutes) or with nothing
// cached every caller waits for that one fetch. A set that AWS refused as
// expired is dropped (`expire`), and the next caller fetches anew.
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
  // AWS refused `refused` as expired (ExpiredToken): returns true when the
  // provider forgets that set, so that a request sent again carries new ones;
  // false for a source that cannot fetch anew.
  virtual bool expire(const Credentials& refused) {
    (void)refused;
    return false;
  }
};

class StaticCredentialsProvider final : public CredentialsProvider {
 public:
  explicit StaticCredentialsProvider(Credentials credentials);
  Credentials credentials() override;

 private:
  Credentials credentials_;
};

// How long before expiry a refresh starts (advisory) and becomes one that
// every caller waits for (mandatory).
struct RefreshWindows {
  std::chrono::minutes advisory{15};
  std::chrono::minutes mandatory{10};
};

class RefreshingCredentialsProvider final : public CredentialsProvider {
 public:
  using Fetch = std::function<Credentials()>;
  using Windows = RefreshWindows;

  explicit RefreshingCredentialsProvider(Fetch fetch, Windows windows = {});
  // Starts with credentials already in hand (no fetch until they age).
  RefreshingCredentialsProvider(Fetch fetch, Credentials initial, Windows windows = {});
  Credentials credentials() override;
  bool expire(const Credentials& refused) override;

 private:
  Fetch fetch_;
  Windows windows_;
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
  bool expire(const Credentials& refused) override;

 private:
  std::shared_ptr<CredentialsProvider> resolve();

  std::vector<Source> sources_;
  std::mutex mutex_;
  std::shared_ptr<CredentialsProvider> chosen_;
};

}  // namespace qvn::aws
