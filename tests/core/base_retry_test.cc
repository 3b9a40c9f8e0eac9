#include "core/retry.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

namespace quor {
namespace {

constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
constexpr uint32_t kMaxAttempt = std::numeric_limits<uint32_t>::max();

struct DelayCase {
  const char* name;
  BackoffStrategy strategy;
  uint32_t attempt;
  uint64_t delay;
};

const DelayCase kCases[] = {
    {"exp default a0", ExponentialBackoff{30, 3600}, 0, 30},
    {"exp default a1", ExponentialBackoff{30, 3600}, 1, 30},
    {"exp default a2", ExponentialBackoff{30, 3600}, 2, 60},
    {"exp default a3", ExponentialBackoff{30, 3600}, 3, 120},
    {"exp default a4", ExponentialBackoff{30, 3600}, 4, 240},
    {"exp default a5", ExponentialBackoff{30, 3600}, 5, 480},
    {"exp default a6", ExponentialBackoff{30, 3600}, 6, 960},
    {"exp default a7", ExponentialBackoff{30, 3600}, 7, 1920},
    {"exp default a8", ExponentialBackoff{30, 3600}, 8, 3600},
    {"exp default a9", ExponentialBackoff{30, 3600}, 9, 3600},
    {"exp default huge attempt", ExponentialBackoff{30, 3600}, kMaxAttempt, 3600},
    // Saturation: the factor, then the product.
    {"exp factor 2^63", ExponentialBackoff{1, kMax}, 64, uint64_t{1} << 63},
    {"exp factor saturates", ExponentialBackoff{1, kMax}, 65, kMax},
    {"exp product saturates", ExponentialBackoff{3, kMax}, 64, kMax},
    {"exp product 2^62 * 3", ExponentialBackoff{3, kMax}, 63, 3 * (uint64_t{1} << 62)},
    {"exp big base a2", ExponentialBackoff{kMax / 2 + 1, kMax}, 2, kMax},
    {"exp max attempt", ExponentialBackoff{1, kMax}, kMaxAttempt, kMax},
    {"exp zero base", ExponentialBackoff{0, kMax}, 100, 0},
    {"exp cap below base", ExponentialBackoff{30, 10}, 1, 10},
    {"exp cap zero", ExponentialBackoff{30, 0}, 5, 0},

    {"lin a1", LinearBackoff{10, 5, 30}, 1, 10},
    {"lin a2", LinearBackoff{10, 5, 30}, 2, 15},
    {"lin a3", LinearBackoff{10, 5, 30}, 3, 20},
    {"lin a4", LinearBackoff{10, 5, 30}, 4, 25},
    {"lin a5", LinearBackoff{10, 5, 30}, 5, 30},
    {"lin a6", LinearBackoff{10, 5, 30}, 6, 30},
    {"lin a0 counts as a1", LinearBackoff{10, 5, 30}, 0, 10},
    {"lin cap below base a1", LinearBackoff{100, 5, 30}, 1, 30},
    {"lin cap below base a9", LinearBackoff{100, 5, 30}, 9, 30},
    {"lin product saturates", LinearBackoff{0, kMax / 2, kMax}, 4, kMax},
    {"lin sum saturates", LinearBackoff{kMax, 1, kMax}, 2, kMax},
    {"lin sum just fits", LinearBackoff{kMax - 2, 1, kMax}, 3, kMax},
    {"lin max attempt", LinearBackoff{1, 1, kMax}, kMaxAttempt, kMaxAttempt},

    {"fixed zero", FixedBackoff{0}, 1, 0},
    {"fixed any attempt", FixedBackoff{45}, 1000, 45},
    {"fixed has no cap", FixedBackoff{kMax}, 2, kMax},
};

TEST(BackoffDelay, Table) {
  for (const auto& c : kCases) {
    EXPECT_EQ(backoff_delay(c.strategy, c.attempt), c.delay) << c.name;
  }
}

TEST(RetryDecision, DefaultPolicyLife) {
  const RetryPolicy p = RetryPolicy::default_policy();
  EXPECT_EQ(retry_delay(p, 1), 30u);
  EXPECT_EQ(retry_delay(p, 2), 60u);
  EXPECT_EQ(retry_delay(p, 3), std::nullopt);
  EXPECT_EQ(retry_delay(p, 4), std::nullopt);
}

TEST(RetryDecision, AttemptLimits) {
  const struct {
    uint32_t max_attempts;
    uint32_t failed;
    std::optional<uint64_t> delay;
  } cases[] = {
      {0, 1, std::nullopt},
      {1, 1, std::nullopt},
      {2, 1, 7},
      {2, 2, std::nullopt},
      {10, 9, 7},
      {10, 10, std::nullopt},
      {kMaxAttempt, kMaxAttempt - 1, 7},
      {kMaxAttempt, kMaxAttempt, std::nullopt},
  };
  for (const auto& c : cases) {
    const RetryPolicy p{c.max_attempts, FixedBackoff{7}};
    EXPECT_EQ(retry_delay(p, c.failed), c.delay)
        << "max_attempts " << c.max_attempts << " failed attempt " << c.failed;
  }
  // The delay is the backoff of the failed attempt, not of the next one.
  const RetryPolicy lin{5, LinearBackoff{10, 5, 100}};
  EXPECT_EQ(retry_delay(lin, 1), 10u);
  EXPECT_EQ(retry_delay(lin, 4), 25u);
}

}  // namespace
}  // namespace quor
