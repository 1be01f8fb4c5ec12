#include "aws/credentials.hpp"

#include <cstdio>
#include <ctime>

#include "aws/errors.hpp"

namespace qvn::aws {
namespace {

bool needs_refresh(const Credentials& credentials, std::chrono::minutes window) {
  if (!credentials.expiration) return false;
  return *credentials.expiration - core::now() < window;
}

}  // namespace

StaticCredentialsProvider::StaticCredentialsProvider(Credentials credentials)
    : credentials_(std::move(credentials)) {}

Credentials StaticCredentialsProvider::credentials() { return credentials_; }

RefreshingCredentialsProvider::RefreshingCredentialsProvider(Fetch fetch) : fetch_(std::move(fetch)) {}

RefreshingCredentialsProvider::RefreshingCredentialsProvider(Fetch fetch, Credentials initial)
    : fetch_(std::move(fetch)), cached_(std::move(initial)) {}

Credentials RefreshingCredentialsProvider::credentials() {
  std::unique_lock lock(mutex_);
  for (;;) {
    bool mandatory = !cached_ || needs_refresh(*cached_, kMandatoryRefresh);
    bool advisory = cached_ && needs_refresh(*cached_, kAdvisoryRefresh);
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
      if (mandatory || !cached_ || needs_refresh(*cached_, kMandatoryRefresh)) std::rethrow_exception(failure);
    }
    return *cached_;
  }
}

ChainCredentialsProvider::ChainCredentialsProvider(std::vector<Source> sources)
    : sources_(std::move(sources)) {}

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

namespace {

// The clock counts nanoseconds in 64 bits (years 1678 to 2262): a time
// outside these years is not one we can hold, so not one we accept.
constexpr int kFirstYear = 1970;
constexpr int kLastYear = 2200;
constexpr long long kEndOfLastYearMillis = 7289654400000LL;  // 2201-01-01T00:00:00Z

}  // namespace

std::optional<core::TimePoint> time_from_epoch_millis(long long millis) {
  if (millis < 0 || millis >= kEndOfLastYearMillis) return std::nullopt;
  return core::TimePoint(std::chrono::milliseconds(millis));
}

std::optional<core::TimePoint> parse_iso8601(const std::string& text) {
  int year, month, day, hour, minute, second;
  int used = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &year, &month, &day, &hour, &minute,
                  &second, &used) != 6)
    return std::nullopt;
  std::string rest = text.substr(static_cast<std::size_t>(used));
  if (!rest.empty() && rest[0] == '.') {
    std::size_t end = 1;
    while (end < rest.size() && std::isdigit(static_cast<unsigned char>(rest[end]))) ++end;
    rest = rest.substr(end);
  }
  if (rest != "Z" && rest != "+00:00" && rest != "z" && !rest.empty()) return std::nullopt;
  if (year < kFirstYear || year > kLastYear) return std::nullopt;
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  std::time_t seconds = timegm(&tm);
  if (seconds == static_cast<std::time_t>(-1)) return std::nullopt;
  return std::chrono::system_clock::from_time_t(seconds);
}

}  // namespace qvn::aws
