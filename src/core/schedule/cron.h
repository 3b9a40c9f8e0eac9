// CronExpr: a parsed cron expression, held as one bit set per field.
//
// The text has seven whitespace-separated fields, or six without Years:
//
//   Seconds 0-59, Minutes 0-59, Hours 0-23, Days of Month 1-31,
//   Months 1-12 (or names), Days of Week 1-7 with 1 = Sunday (or names),
//   Years 1970-2100.
//
// A user's five-field expression is wrapped as "0 {} *" first, so fires
// fall on second 0 and every year is allowed; a four-field expression then
// leaves Days of Week to the wrapper's "*" and has no Years field.
//
// A field is a comma-separated list of items: "*", a value, a range "a-b"
// (a <= b), each optionally followed by "/n" (n > 0): "*/n" takes every
// n-th value from the field's smallest, "a-b/n" every n-th from a, and
// "a/n" the values a, a+n, ... up to the field's largest. "?" means "*" in
// the two day fields. Month and day names match in any letter case and may
// form ranges ("mon-fri"). A time matches when every field holds its
// component; a day must be in Days of Month and in Days of Week.
//
// Parse errors are texts shown to users (inside "invalid cron expression:
// {}"). A malformed expression as a whole (field count, characters, item
// syntax) is "Invalid cron expression."; the errors about a field's values
// read "Invalid expression: " followed by one of
//   "range step cannot be zero"
//   "Invalid range for {field}: {a}-{b}"
//   "Invalid named range for {field}: {a}-{b}"
//   "'{name}' is not a valid month name."
//   "'{name}' is not a valid day of the week."
//   "The '{field}' field does not support using names. '{name}' specified."
//   "{field} must be greater than or equal to {min}. ('{value}' specified.)"
//   "{field} must be less than {max}. ('{value}' specified.)"
// with values as the user wrote them and {max} the largest allowed value.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <cctz/civil_time.h>

#include "core/result.h"

namespace quor {

class CronExpr {
 public:
  static constexpr int kMinYear = 1970;
  static constexpr int kMaxYear = 2100;

  // Parses six or seven fields as above.
  static Result<CronExpr, std::string> parse(std::string_view text);
  // Parses a user's expression: the text "0 {} *" with `expr` unchanged.
  static Result<CronExpr, std::string> parse_user(std::string_view expr);

  // Whether every field holds its component of `t`.
  bool matches(const cctz::civil_second& t) const;

  // The earliest civil time at or after `from` that matches, or nothing when
  // no match exists up to the end of kMaxYear. Jumps field by field, so an
  // expression that never matches costs a few steps per year.
  std::optional<cctz::civil_second> next_match(const cctz::civil_second& from) const;

  // Whether the Hours field holds all 24 hours.
  bool every_hour() const { return hours_ == kAllHours; }

 private:
  static constexpr uint32_t kAllHours = (1u << 24) - 1;

  CronExpr() = default;
  bool day_matches(int64_t year, int month, int day) const;

  uint64_t seconds_ = 0;  // bit s for second s
  uint64_t minutes_ = 0;  // bit m for minute m
  uint32_t hours_ = 0;    // bit h for hour h
  uint32_t mdays_ = 0;    // bit d for day d (1..31)
  uint16_t months_ = 0;   // bit m for month m (1..12)
  uint8_t wdays_ = 0;     // bit w for weekday w (1 = Sunday .. 7)
  uint64_t years_[3] = {0, 0, 0};  // bit (y - kMinYear)
};

}  // namespace quor
