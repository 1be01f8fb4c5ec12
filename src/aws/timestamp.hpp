#pragma once
// Reading the times AWS and AWS-compatible services send, as leniently as
// the SDKs read them:
//
//   ISO 8601      "2024-01-15T12:00:00Z", "2024-01-15T12:00:00.123456Z",
//                 "2024-01-15T14:00:00+02:00", "+0200", "-05", no zone = UTC
//   RFC 1123      "Mon, 15 Jan 2024 12:00:00 GMT" (S3's Last-Modified header)
//   epoch seconds 1705320000, 1705320000.5 (JSON answers, as a number or text)
//
// Every reader returns nullopt for text that is none of these, and for a
// time outside the years 1970 to 2200 (the clock holds nanoseconds in 64
// bits, so a far-future time is refused rather than wrapped).
#include <nlohmann/json_fwd.hpp>

#include <optional>
#include <string>
#include <string_view>

#include "core/clock.hpp"

namespace qvn::aws {

// ISO 8601 date and time, with or without fractional seconds and offset.
std::optional<core::TimePoint> parse_iso8601(std::string_view text);

// RFC 1123 ("Wed, 12 Oct 2009 17:50:00 GMT"), also without the weekday.
std::optional<core::TimePoint> parse_rfc1123(std::string_view text);

// Seconds since 1970, possibly fractional.
std::optional<core::TimePoint> time_from_epoch_seconds(double seconds);

// Milliseconds since 1970 (the SSO portal's expirations).
std::optional<core::TimePoint> time_from_epoch_millis(long long millis);

// Any of the forms above, surrounding blanks ignored.
std::optional<core::TimePoint> parse_timestamp(std::string_view text);

// A JSON member holding a time: a number of epoch seconds or a text in any
// of the forms above; nullopt for anything else (null included).
std::optional<core::TimePoint> json_timestamp(const nlohmann::json& value);
std::optional<core::TimePoint> json_timestamp(const nlohmann::ordered_json& value);

// Seconds since 1970 of a time point, with its fraction.
double epoch_seconds(core::TimePoint time);

}  // namespace qvn::aws
