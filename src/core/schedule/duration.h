// Duration strings of "every" and "after" schedules: a whole number of
// seconds, minutes, hours or days, such as "30s", " 5m ", "+2h" or "1d".
#pragma once

#include <cstdint>
#include <string_view>

#include "core/result.h"

namespace quor {

// Reads a duration into whole seconds. Unicode white space around the text
// is ignored; the rest is an optional "+", ASCII digits and one lower-case
// unit: s, m, h or d. Fails with InvalidCron carrying
//   "duration must end with s/m/h/d: {}"  when the unit is missing, or
//   "invalid duration: {}"                when the number is malformed, or
//                                         the seconds exceed
//                                         Instant::kMaxSpanSeconds,
// where {} is the trimmed text. The cap keeps every later date computation
// on the value from overflowing.
Result<uint64_t> parse_duration(std::string_view text);

// `text` without the Unicode white space at both ends. Bytes that do not
// form valid UTF-8 are not white space.
std::string_view trim_unicode_space(std::string_view text);

}  // namespace quor
