#include "lib/ttl_cache.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/clock.hpp"

namespace qvn {
namespace {

using namespace std::chrono_literals;

// Installs a clock that only moves when told to.
class ManualClock {
 public:
  ManualClock() {
    core::set_clock([this] { return core::TimePoint(std::chrono::seconds(start_ + offset_.load())); });
  }
  ~ManualClock() { core::set_clock({}); }
  void advance(std::int64_t seconds) { offset_ += seconds; }

 private:
  static constexpr std::int64_t start_ = 1'700'000'000;
  std::atomic<std::int64_t> offset_{0};
};

class TtlCacheTest : public testing::Test {
 protected:
  ManualClock clock;
  int calls = 0;
  // Returns a text that tells the calls apart.
  auto counting() {
    return [this](const std::string& role, const std::optional<std::string>& profile) {
      ++calls;
      return role + "/" + profile.value_or("-") + "#" + std::to_string(calls);
    };
  }
};

TEST_F(TtlCacheTest, SameArgumentsWithinTtlComputeOnce) {
  TtlCache<std::string, std::string, std::optional<std::string>> cache(1, core::Seconds(1200));
  EXPECT_EQ(cache.get_or_compute("r", std::nullopt, counting()), "r/-#1");
  clock.advance(1199);
  EXPECT_EQ(cache.get_or_compute("r", std::nullopt, counting()), "r/-#1");
  EXPECT_EQ(calls, 1);
}

TEST_F(TtlCacheTest, EntryExpiresAtTtl) {
  TtlCache<std::string, std::string, std::optional<std::string>> cache(1, core::Seconds(1200));
  cache.get_or_compute("r", "p", counting());
  clock.advance(1200);
  EXPECT_EQ(cache.size(), 0u);
  EXPECT_EQ(cache.get_or_compute("r", "p", counting()), "r/p#2");
  // The new entry's lifetime starts at its own computation.
  clock.advance(1000);
  EXPECT_EQ(cache.get_or_compute("r", "p", counting()), "r/p#2");
  EXPECT_EQ(calls, 2);
}

TEST_F(TtlCacheTest, KeyIsEveryArgument) {
  TtlCache<std::string, std::string, std::optional<std::string>> cache(4, core::Seconds(60));
  cache.get_or_compute("r", std::nullopt, counting());
  cache.get_or_compute("r", "", counting());  // "" is not the same as no profile
  cache.get_or_compute("r", "p", counting());
  cache.get_or_compute("s", "p", counting());
  EXPECT_EQ(calls, 4);
  EXPECT_EQ(cache.get_or_compute("r", "", counting()), "r/#2");
  EXPECT_EQ(calls, 4);
}

TEST_F(TtlCacheTest, SizeOneReplacesTheEntry) {
  TtlCache<std::string, std::string, std::optional<std::string>> cache(1, core::Seconds(1200));
  cache.get_or_compute("a", std::nullopt, counting());
  cache.get_or_compute("b", std::nullopt, counting());
  EXPECT_EQ(cache.size(), 1u);
  EXPECT_EQ(cache.get_or_compute("b", std::nullopt, counting()), "b/-#2");
  EXPECT_EQ(cache.get_or_compute("a", std::nullopt, counting()), "a/-#3");
}

TEST_F(TtlCacheTest, EvictsLeastRecentlyUsedWhenFull) {
  TtlCache<std::string, std::string, std::optional<std::string>> cache(2, core::Seconds(600));
  cache.get_or_compute("a", std::nullopt, counting());  // #1
  cache.get_or_compute("b", std::nullopt, counting());  // #2
  cache.get_or_compute("a", std::nullopt, counting());  // a is now the most recent
  cache.get_or_compute("c", std::nullopt, counting());  // #3, evicts b
  EXPECT_EQ(cache.get_or_compute("a", std::nullopt, counting()), "a/-#1");
  EXPECT_EQ(cache.get_or_compute("b", std::nullopt, counting()), "b/-#4");
}

TEST_F(TtlCacheTest, ExpiredEntriesMakeRoomBeforeLiveOnes) {
  TtlCache<std::string, std::string, std::optional<std::string>> cache(2, core::Seconds(100));
  cache.get_or_compute("old", std::nullopt, counting());  // #1, expires at 100
  clock.advance(50);
  cache.get_or_compute("new", std::nullopt, counting());  // #2, expires at 150
  cache.get_or_compute("old", std::nullopt, counting());  // still live: most recent now
  clock.advance(60);                                      // "old" expired, "new" live
  cache.get_or_compute("third", std::nullopt, counting());
  EXPECT_EQ(cache.get_or_compute("new", std::nullopt, counting()), "new/-#2");
  EXPECT_EQ(calls, 3);
}

TEST_F(TtlCacheTest, FailuresAreNotCached) {
  TtlCache<std::string, std::string, std::optional<std::string>> cache(1, core::Seconds(60));
  cache.get_or_compute("a", std::nullopt, counting());
  auto failing = [&](const std::string&, const std::optional<std::string>&) -> std::string {
    ++calls;
    throw std::runtime_error("denied");
  };
  EXPECT_THROW(cache.get_or_compute("b", std::nullopt, failing), std::runtime_error);
  EXPECT_THROW(cache.get_or_compute("b", std::nullopt, failing), std::runtime_error);
  EXPECT_EQ(calls, 3);
  EXPECT_EQ(cache.get_or_compute("b", std::nullopt, counting()), "b/-#4");
  EXPECT_EQ(cache.get_or_compute("b", std::nullopt, counting()), "b/-#4");
}

TEST_F(TtlCacheTest, ZeroSizeOrTtlDisablesCaching) {
  TtlCache<std::string, std::string, std::optional<std::string>> none(0, core::Seconds(60));
  none.get_or_compute("a", std::nullopt, counting());
  none.get_or_compute("a", std::nullopt, counting());
  TtlCache<std::string, std::string, std::optional<std::string>> instant(4, core::Seconds(0));
  instant.get_or_compute("a", std::nullopt, counting());
  instant.get_or_compute("a", std::nullopt, counting());
  EXPECT_EQ(calls, 4);
}

TEST(TtlCacheConcurrency, ConcurrentCallersForOneKeyComputeOnce) {
  TtlCache<int, int> cache(8, core::Seconds(60));
  std::atomic<int> computations{0};
  std::atomic<bool> release{false};
  std::vector<std::thread> threads;
  std::vector<int> results(16, -1);
  for (int i = 0; i < 16; ++i) {
    threads.emplace_back([&, i] {
      results[i] = cache.get_or_compute(7, [&](int key) {
        ++computations;
        while (!release) std::this_thread::sleep_for(1ms);
        return key * 6;
      });
    });
  }
  std::this_thread::sleep_for(50ms);
  release = true;
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(computations.load(), 1);
  for (int result : results) EXPECT_EQ(result, 42);
}

TEST(TtlCacheConcurrency, ManyKeysUnderEvictionStayConsistent) {
  TtlCache<int, int> cache(3, core::Seconds(60));
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 2000; ++i) {
        int key = (i * 7 + t) % 10;
        int value = cache.get_or_compute(key, [](int k) { return k * k; });
        if (value != key * key) ++wrong;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_LE(cache.size(), 3u);
}

}  // namespace
}  // namespace qvn
