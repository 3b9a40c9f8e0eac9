// Retry policy arithmetic: how long a failed run waits before its next
// attempt, and whether it gets one. Pure functions, no clock, no jitter.
#pragma once

#include <cstdint>
#include <optional>

#include "core/model.h"

namespace quor {

// Seconds to wait before the attempt after attempt `attempt`:
//   Fixed        seconds (no cap)
//   Exponential  min(max, base * 2^(attempt-1)); attempts 0 and 1 give base
//   Linear       min(max, base + step * (attempt-1)); attempt 0 counts as 1
// All arithmetic saturates at 2^64 - 1 instead of wrapping.
uint64_t backoff_delay(const BackoffStrategy& strategy, uint32_t attempt);

// After attempt `failed_attempt` of a run failed: the delay in seconds when
// another attempt (numbered failed_attempt + 1) is due, or nothing when the
// run is dead. max_attempts counts every attempt, so 0 and 1 both mean the
// first failure is final.
std::optional<uint64_t> retry_delay(const RetryPolicy& policy, uint32_t failed_attempt);

}  // namespace quor
