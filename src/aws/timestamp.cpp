#include "aws/timestamp.hpp"

#include <nlohmann/json.hpp>

#include <strings.h>
#include <array>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cmath>

namespace qvn::aws {
namespace {

using namespace std::chrono;

// The clock counts nanoseconds in 64 bits (years 1678 to 2262): a time
// outside these years is not one we can hold, so not one we accept.
constexpr int kFirstYear = 1970;
constexpr int kLastYear = 2200;
constexpr long long kEndOfLastYearSeconds = 7289654400LL;  // 2201-01-01T00:00:00Z

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
  return text;
}

// Reads exactly `width` digits at the front of `text`.
bool take_digits(std::string_view& text, std::size_t width, int& out) {
  if (text.size() < width) return false;
  for (std::size_t i = 0; i < width; ++i)
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
  std::from_chars(text.data(), text.data() + width, out);
  text.remove_prefix(width);
  return true;
}

bool take_char(std::string_view& text, char wanted) {
  if (text.empty() || text.front() != wanted) return false;
  text.remove_prefix(1);
  return true;
}

struct CivilTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  nanoseconds fraction{0};
  seconds offset{0};  // east of UTC
};

std::optional<core::TimePoint> to_time_point(const CivilTime& t) {
  if (t.year < kFirstYear || t.year > kLastYear) return std::nullopt;
  if (t.hour > 23 || t.minute > 59 || t.second > 60) return std::nullopt;
  const year_month_day date{year{t.year}, month{static_cast<unsigned>(t.month)}, day{static_cast<unsigned>(t.day)}};
  if (!date.ok()) return std::nullopt;
  const auto utc = sys_days{date} + hours{t.hour} + minutes{t.minute} + seconds{t.second} - t.offset;
  return time_point_cast<core::TimePoint::duration>(utc + t.fraction);
}

// ".123456": any number of digits, kept to the nanosecond.
bool take_fraction(std::string_view& text, nanoseconds& out) {
  if (text.empty() || (text.front() != '.' && text.front() != ',')) return true;
  text.remove_prefix(1);
  std::size_t digits = 0;
  long long value = 0;
  while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits]))) {
    if (digits < 9) value = value * 10 + (text[digits] - '0');
    ++digits;
  }
  if (digits == 0) return false;
  for (std::size_t i = digits; i < 9; ++i) value *= 10;
  out = nanoseconds{value};
  text.remove_prefix(digits);
  return true;
}

// "Z", "+02:00", "+0200", "+02", "-05:30"; nothing at all is UTC too.
bool take_offset(std::string_view& text, seconds& out) {
  if (text.empty()) return true;
  if (text.front() == 'Z' || text.front() == 'z') {
    text.remove_prefix(1);
    return true;
  }
  if (text.front() != '+' && text.front() != '-') return false;
  const int sign = text.front() == '-' ? -1 : 1;
  text.remove_prefix(1);
  int hh = 0, mm = 0;
  if (!take_digits(text, 2, hh)) return false;
  if (!text.empty()) {
    take_char(text, ':');
    if (!take_digits(text, 2, mm)) return false;
  }
  if (hh > 23 || mm > 59) return false;
  out = seconds{sign * (hh * 3600 + mm * 60)};
  return true;
}

int month_number(std::string_view name) {
  static constexpr std::array<std::string_view, 12> names = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  for (std::size_t i = 0; i < names.size(); ++i)
    if (name.size() == 3 && strncasecmp(name.data(), names[i].data(), 3) == 0) return static_cast<int>(i) + 1;
  return 0;
}

// A plain decimal number with nothing around it.
std::optional<double> plain_number(std::string_view text) {
  if (text.empty()) return std::nullopt;
  if (text.front() == '+') text.remove_prefix(1);
  double value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace

std::optional<core::TimePoint> parse_iso8601(std::string_view text) {
  CivilTime t;
  if (!take_digits(text, 4, t.year) || !take_char(text, '-') || !take_digits(text, 2, t.month) ||
      !take_char(text, '-') || !take_digits(text, 2, t.day))
    return std::nullopt;
  if (text.empty() || (text.front() != 'T' && text.front() != 't' && text.front() != ' ')) return std::nullopt;
  text.remove_prefix(1);
  if (!take_digits(text, 2, t.hour) || !take_char(text, ':') || !take_digits(text, 2, t.minute) ||
      !take_char(text, ':') || !take_digits(text, 2, t.second))
    return std::nullopt;
  if (!take_fraction(text, t.fraction) || !take_offset(text, t.offset) || !text.empty()) return std::nullopt;
  return to_time_point(t);
}

std::optional<core::TimePoint> parse_rfc1123(std::string_view text) {
  // Optional "Wed, " first.
  if (const auto comma = text.find(','); comma != std::string_view::npos) {
    text.remove_prefix(comma + 1);
  }
  text = trimmed(text);
  CivilTime t;
  const bool one_digit_day = text.size() > 1 && text[1] == ' ';
  if (!take_digits(text, one_digit_day ? 1 : 2, t.day) || !take_char(text, ' ')) return std::nullopt;
  if (text.size() < 4 || text[3] != ' ') return std::nullopt;
  t.month = month_number(text.substr(0, 3));
  text.remove_prefix(4);
  if (t.month == 0 || !take_digits(text, 4, t.year) || !take_char(text, ' ')) return std::nullopt;
  if (!take_digits(text, 2, t.hour) || !take_char(text, ':') || !take_digits(text, 2, t.minute) ||
      !take_char(text, ':') || !take_digits(text, 2, t.second))
    return std::nullopt;
  text = trimmed(text);
  if (text != "GMT" && text != "UTC" && text != "+0000" && !text.empty()) return std::nullopt;
  return to_time_point(t);
}

std::optional<core::TimePoint> time_from_epoch_seconds(double value) {
  if (!std::isfinite(value) || value < 0 || value >= static_cast<double>(kEndOfLastYearSeconds)) return std::nullopt;
  const double whole = std::floor(value);
  const auto fraction = nanoseconds{static_cast<long long>(std::llround((value - whole) * 1e9))};
  return core::TimePoint(
      time_point_cast<core::TimePoint::duration>(sys_seconds{seconds{static_cast<long long>(whole)}} + fraction));
}

std::optional<core::TimePoint> time_from_epoch_millis(long long millis) {
  if (millis < 0 || millis >= kEndOfLastYearSeconds * 1000) return std::nullopt;
  return core::TimePoint(milliseconds(millis));
}

std::optional<core::TimePoint> parse_timestamp(std::string_view text) {
  text = trimmed(text);
  if (auto number = plain_number(text)) return time_from_epoch_seconds(*number);
  if (auto iso = parse_iso8601(text)) return iso;
  return parse_rfc1123(text);
}

namespace {

template <class J>
std::optional<core::TimePoint> timestamp_of(const J& value) {
  if (value.is_number()) return time_from_epoch_seconds(value.template get<double>());
  if (value.is_string()) return parse_timestamp(value.template get_ref<const std::string&>());
  return std::nullopt;
}

}  // namespace

std::optional<core::TimePoint> json_timestamp(const nlohmann::json& value) { return timestamp_of(value); }
std::optional<core::TimePoint> json_timestamp(const nlohmann::ordered_json& value) { return timestamp_of(value); }

double epoch_seconds(core::TimePoint time) { return duration<double>(time.time_since_epoch()).count(); }

}  // namespace qvn::aws
