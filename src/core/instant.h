// Instant: a UTC date and time with nanosecond precision.
//
// Held as whole seconds since the Unix epoch plus nanoseconds. The
// nanoseconds are normally below 1e9; a value of 1e9 or more marks a leap
// second (shown as second 60). Instants compare by (seconds, nanoseconds),
// which orders a leap second after the second it extends and before the
// next one. The representable range is the years -262144 to 262143, which
// covers Python's datetime range and every four-digit RFC 3339 year.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/result.h"

namespace quor {

// A broken-down UTC date and time.
struct CivilTime {
  int64_t year = 1970;
  int month = 1;    // 1..12
  int day = 1;      // 1..31
  int hour = 0;     // 0..23
  int minute = 0;   // 0..59
  int second = 0;   // 0..59 (a leap second is carried in nanos)
  uint32_t nanos = 0;
};

class Instant {
 public:
  static constexpr int64_t kMinYear = -262144;
  static constexpr int64_t kMaxYear = 262143;
  // The largest span in seconds that date arithmetic accepts:
  // (2^63 - 1) / 1000.
  static constexpr uint64_t kMaxSpanSeconds = 9223372036854775ULL;

  // The Unix epoch.
  constexpr Instant() = default;

  // nanos must be below 2e9; fails when out of the representable range.
  static std::optional<Instant> from_unix(int64_t seconds, uint32_t nanos = 0);
  // From a civil UTC time; fails on invalid fields or out of range.
  static std::optional<Instant> from_civil(const CivilTime& civil);
  static Instant now();
  static Instant min();
  static Instant max();

  int64_t unix_seconds() const { return seconds_; }
  uint32_t nanos() const { return nanos_; }
  CivilTime to_civil() const;

  // Checked arithmetic: nothing when the span is above kMaxSpanSeconds (or
  // its millisecond equivalent) or the result leaves the range.
  std::optional<Instant> add_seconds(uint64_t seconds) const;
  std::optional<Instant> add_millis(uint64_t millis) const;
  std::optional<Instant> add_nanos(int64_t nanos) const;

  // Whole milliseconds from this instant to `later`, truncated toward zero;
  // negative when `later` is earlier. Saturates at the int64 bounds.
  int64_t millis_until(Instant later) const;
  // Same in nanoseconds, saturating.
  int64_t nanos_until(Instant later) const;

  // RFC 3339 text with "Z" (log, snapshot, control replies) or "+00:00"
  // (Python status dictionaries). Fraction: none, 3, 6 or 9 digits.
  std::string to_rfc3339_z() const;
  std::string to_rfc3339_offset() const;

  // Reads RFC 3339: date, "T" (or "t" or a space), time with an optional
  // fraction, then "Z"/"z" or a numeric offset, converted to UTC. Second 60
  // is read as a leap second. The error is a description such as
  // "premature end of input" or "input contains invalid characters".
  static Result<Instant, std::string> parse_rfc3339(std::string_view text);

  friend constexpr auto operator<=>(const Instant&, const Instant&) = default;
  friend constexpr bool operator==(const Instant&, const Instant&) = default;

 private:
  constexpr Instant(int64_t s, uint32_t n) : seconds_(s), nanos_(n) {}
  int64_t seconds_ = 0;
  uint32_t nanos_ = 0;
};

// Days since 1970-01-01 of a proleptic Gregorian date, and back.
int64_t days_from_civil(int64_t year, int month, int day);
void civil_from_days(int64_t days, int64_t* year, int* month, int* day);
bool is_valid_date(int64_t year, int month, int day);
int days_in_month(int64_t year, int month);

}  // namespace quor
