#include "core/retry.h"

#include <algorithm>
#include <limits>
#include <type_traits>

namespace quor {

namespace {

constexpr uint64_t kSaturated = std::numeric_limits<uint64_t>::max();

uint64_t sat_mul(uint64_t a, uint64_t b) {
  uint64_t r;
  return __builtin_mul_overflow(a, b, &r) ? kSaturated : r;
}

uint64_t sat_add(uint64_t a, uint64_t b) {
  uint64_t r;
  return __builtin_add_overflow(a, b, &r) ? kSaturated : r;
}

}  // namespace

uint64_t backoff_delay(const BackoffStrategy& strategy, uint32_t attempt) {
  return std::visit(
      [attempt](const auto& b) -> uint64_t {
        using T = std::decay_t<decltype(b)>;
        if constexpr (std::is_same_v<T, FixedBackoff>) {
          return b.seconds;
        } else if constexpr (std::is_same_v<T, ExponentialBackoff>) {
          const uint32_t shift = attempt <= 1 ? 0 : attempt - 1;
          const uint64_t factor = shift >= 64 ? kSaturated : uint64_t{1} << shift;
          return std::min(b.max_seconds, sat_mul(b.base_seconds, factor));
        } else {
          const uint32_t k = attempt == 0 ? 0 : attempt - 1;
          return std::min(b.max_seconds, sat_add(b.base_seconds, sat_mul(b.step_seconds, k)));
        }
      },
      strategy);
}

std::optional<uint64_t> retry_delay(const RetryPolicy& policy, uint32_t failed_attempt) {
  if (failed_attempt >= policy.max_attempts) return std::nullopt;
  return backoff_delay(policy.backoff, failed_attempt);
}

}  // namespace quor
