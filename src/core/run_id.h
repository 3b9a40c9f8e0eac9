// Run identifiers: "run_" followed by a lower-case ULID.
//
// A ULID is 128 bits: a 48-bit count of milliseconds since the Unix epoch
// (big-endian, so ids sort by creation time) and 80 random bits from the
// operating system's entropy source, written as 26 Crockford base-32 digits.
// new_run_id() itself is declared in core/model.h.
#pragma once

#include <cstdint>
#include <string>

namespace quor {

// The 26-character lower-case ULID text of a timestamp and 10 random bytes.
std::string encode_ulid(uint64_t unix_millis, const uint8_t random[10]);

}  // namespace quor
