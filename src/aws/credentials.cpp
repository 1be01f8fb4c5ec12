#include "aws/credentials.hpp"

#include "aws/errors.hpp"

namespace qvn::aws {
namespace {

bool needs_refresh(const Credentials& credentials, std::chrono::minutes window) {
  if (!credentials.expiration) return false;
  return *credentials.expiration - core::now() < window;
}

}  // namespace

StaticCredentialsProvider::StaticCredentialsProvider(Credentials credentials) : credentials_(std::move(credentials)) {}

Credentials StaticCredentialsProvider::credentials() { return credentials_; }

RefreshingCredentialsProvider::RefreshingCredentialsProvider(Fetch fetch, Windows windows)
    : fetch_(std::move(fetch)), windows_(windows) {}

RefreshingCredentialsProvider::RefreshingCredentialsProvider(Fetch fetch, Credentials initial, Windows windows)
    : fetch_(std::move(fetch)), windows_(windows), cached_(std::move(initial)) {}

bool RefreshingCredentialsProvider::expire(const Credentials& refused) {
  std::lock_guard lock(mutex_);
  // Only the set that was refused: of many callers refused at once, the
  // first drops it and the others find the fresh one.
  if (cached_ && cached_->access_key_id == refused.access_key_id) cached_.reset();
  return true;
}

Credentials RefreshingCredentialsProvider::credentials() {
  std::unique_lock lock(mutex_);
  for (;;) {
    bool mandatory = !cached_ || needs_refresh(*cached_, windows_.mandatory);
    bool advisory = cached_ && needs_refresh(*cached_, windows_.advisory);
    if (!mandatory && !advisory) return *cached_;
    if (fetching_) {
      // Someone is already fetching: use what we have unless it is too old.
      if (!mandatory) return *cached_;
      fetched_.wait(lock);
      continue;
    }
    fetching_ = true;
    lock.unlock();
    std::optional<Credentials> fresh;
    std::exception_ptr failure;
    try {
      fresh = fetch_();
    } catch (...) {
      failure = std::current_exception();
    }
    lock.lock();
    fetching_ = false;
    if (fresh) cached_ = std::move(fresh);
    fetched_.notify_all();
    if (failure) {
      // An advisory refresh may fail: the cached set is still good for a while.
      if (mandatory || !cached_ || needs_refresh(*cached_, windows_.mandatory)) std::rethrow_exception(failure);
    }
    return *cached_;
  }
}

ChainCredentialsProvider::ChainCredentialsProvider(std::vector<Source> sources) : sources_(std::move(sources)) {}

std::shared_ptr<CredentialsProvider> ChainCredentialsProvider::resolve() {
  std::lock_guard lock(mutex_);
  if (chosen_) return chosen_;
  std::string tried;
  for (const auto& source : sources_) {
    if (auto provider = source.load()) {
      chosen_ = provider;
      return chosen_;
    }
    tried += (tried.empty() ? "" : ", ") + source.description;
  }
  throw CredentialsError("Unable to locate credentials (tried: " + tried + ")");
}

Credentials ChainCredentialsProvider::credentials() { return resolve()->credentials(); }

bool ChainCredentialsProvider::expire(const Credentials& refused) { return resolve()->expire(refused); }

}  // namespace qvn::aws
