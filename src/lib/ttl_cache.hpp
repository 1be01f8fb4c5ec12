#pragma once
// A memoising cache with a size limit and a time to live.
//
//   TtlCache<Session, std::string, std::string> sessions(1, core::Seconds(1200));
//   Session s = sessions.get_or_compute(role, profile,
//       [](const std::string& r, const std::string& p) { return open(r, p); });
//
// - The key is the call's arguments as passed (compared with <, so every
//   argument type needs an ordering).
// - An entry lives `ttl` from the moment its value was computed; the clock is
//   qvn::core::now(), so tests move time with qvn::core::set_clock.
// - When a new key needs room, expired entries go first, then the least
//   recently used ones, until fewer than `max_size` remain.
// - A computation that throws is not cached: the exception reaches the caller
//   (and any caller waiting for the same key) and the cache is as before.
// - Thread-safe. Concurrent calls with the same key compute once; the others
//   wait for that result. `fn` runs without the cache's lock held, but it must
//   not ask the same cache for its own key (it would wait for itself).
// - max_size 0 or a ttl of zero or less turns caching off: every call computes.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <tuple>
#include <type_traits>
#include <utility>

#include "core/clock.hpp"

namespace qvn {

template <class Result, class... Args>
class TtlCache {
 public:
  using Key = std::tuple<std::decay_t<Args>...>;

  TtlCache(std::size_t max_size, core::Seconds ttl) : max_size_(max_size), ttl_(ttl) {}

  TtlCache(const TtlCache&) = delete;
  TtlCache& operator=(const TtlCache&) = delete;

  // Returns the cached result for `args`, or calls fn(args...) and caches it.
  template <class Fn>
  Result get_or_compute(const Args&... args, Fn&& fn) {
    if (max_size_ == 0 || ttl_.count() <= 0) return fn(args...);
    Key key(args...);
    std::promise<Result> promise;
    std::shared_future<Result> pending;
    std::uint64_t generation = 0;
    {
      std::lock_guard lock(mutex_);
      if (auto cached = find_live(key)) {
        pending = *cached;
      } else {
        make_room();
        generation = ++generation_;
        entries_[key] = Entry{promise.get_future().share(), std::nullopt, generation, ++tick_};
      }
    }
    if (pending.valid()) return pending.get();
    try {
      Result result = fn(args...);
      promise.set_value(result);
      finish(key, generation, true);
      return result;
    } catch (...) {
      promise.set_exception(std::current_exception());
      finish(key, generation, false);
      throw;
    }
  }

  // Number of entries held now (expired ones are dropped first).
  std::size_t size() {
    std::lock_guard lock(mutex_);
    drop_expired(core::now());
    return entries_.size();
  }

  void clear() {
    std::lock_guard lock(mutex_);
    entries_.clear();
  }

 private:
  struct Entry {
    std::shared_future<Result> value;
    std::optional<core::TimePoint> expires;  // unset while being computed
    std::uint64_t generation = 0;
    std::uint64_t last_used = 0;
  };

  static bool expired(const Entry& entry, core::TimePoint now) { return entry.expires && now >= *entry.expires; }

  // The entry for `key` when it is live (or being computed); drops it when
  // it has expired. Caller holds the lock.
  std::optional<std::shared_future<Result>> find_live(const Key& key) {
    auto it = entries_.find(key);
    if (it == entries_.end()) return std::nullopt;
    if (expired(it->second, core::now())) {
      entries_.erase(it);
      return std::nullopt;
    }
    it->second.last_used = ++tick_;
    return it->second.value;
  }

  void drop_expired(core::TimePoint now) {
    for (auto it = entries_.begin(); it != entries_.end();) {
      it = expired(it->second, now) ? entries_.erase(it) : std::next(it);
    }
  }

  // Leaves room for one more entry. Caller holds the lock.
  void make_room() {
    drop_expired(core::now());
    while (entries_.size() >= max_size_) {
      auto oldest = entries_.begin();
      for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (it->second.last_used < oldest->second.last_used) oldest = it;
      }
      entries_.erase(oldest);
    }
  }

  // Records the end of a computation, unless its entry was evicted meanwhile.
  void finish(const Key& key, std::uint64_t generation, bool succeeded) {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(key);
    if (it == entries_.end() || it->second.generation != generation) return;
    if (succeeded) {
      it->second.expires = core::now() + std::chrono::duration_cast<core::TimePoint::duration>(ttl_);
    } else {
      entries_.erase(it);
    }
  }

  std::size_t max_size_;
  core::Seconds ttl_;
  std::mutex mutex_;
  std::map<Key, Entry> entries_;
  std::uint64_t generation_ = 0;
  std::uint64_t tick_ = 0;
};

}  // namespace qvn
