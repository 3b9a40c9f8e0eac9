// The timer model: a timer's durable definition, the events that change
// timer state, the per-timer tables those events drive, and the status
// record handed to callers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <variant>

#include "core/instant.h"

namespace quor {

// ---- Schedule: when a timer fires (variant order is significant) ----
struct CronSchedule {
  std::string expr;  // five-field cron expression, in the timer's zone
  bool operator==(const CronSchedule&) const = default;
};
struct EverySchedule {
  uint64_t seconds = 0;  // counted from each next-fire computation
  bool operator==(const EverySchedule&) const = default;
};
struct AtSchedule {
  Instant at;  // once, at this instant
  bool operator==(const AtSchedule&) const = default;
};
struct AfterSchedule {
  uint64_t seconds = 0;  // once, this long after registered_at
  Instant registered_at;
  bool operator==(const AfterSchedule&) const = default;
};
using Schedule = std::variant<CronSchedule, EverySchedule, AtSchedule, AfterSchedule>;

inline bool is_recurring(const Schedule& s) {
  return std::holds_alternative<CronSchedule>(s) || std::holds_alternative<EverySchedule>(s);
}

// ---- Retry policy ----
struct FixedBackoff {
  uint64_t seconds = 0;
  bool operator==(const FixedBackoff&) const = default;
};
struct ExponentialBackoff {
  uint64_t base_seconds = 0;
  uint64_t max_seconds = 0;
  bool operator==(const ExponentialBackoff&) const = default;
};
struct LinearBackoff {
  uint64_t base_seconds = 0;
  uint64_t step_seconds = 0;
  uint64_t max_seconds = 0;
  bool operator==(const LinearBackoff&) const = default;
};
using BackoffStrategy = std::variant<FixedBackoff, ExponentialBackoff, LinearBackoff>;

struct RetryPolicy {
  uint32_t max_attempts = 3;  // total attempts, the first one included
  BackoffStrategy backoff = ExponentialBackoff{30, 3600};

  // 3 attempts, exponential from 30 s capped at 3600 s.
  static RetryPolicy default_policy(uint32_t max_attempts = 3) {
    return RetryPolicy{max_attempts, ExponentialBackoff{30, 3600}};
  }
  bool operator==(const RetryPolicy&) const = default;
};

// ---- TimerSpec: the durable definition ----
struct TimerSpec {
  std::string id;
  Schedule schedule;
  RetryPolicy retry;
  std::string timezone = "UTC";
  Instant created_at;
  // Field-by-field: decides whether schedule() appends an update.
  bool operator==(const TimerSpec&) const = default;
};

// ---- TimerState (order is the value's index) ----
enum class TimerState : uint8_t {
  kScheduled,
  kRunning,
  kRetrying,
  kDead,
  kOrphaned,
  kPaused,
  kCancelled,
};
inline constexpr int kTimerStateCount = 7;

// "Scheduled", "Running", ... exactly as stored.
const char* timer_state_name(TimerState s);
// "scheduled", "running", ... as Python sees them.
const char* timer_state_lower_name(TimerState s);
std::optional<TimerState> timer_state_from_name(std::string_view name);

struct LastRunInfo {
  std::string run_id;
  Instant finished_at;
  std::optional<uint64_t> duration_ms;  // present only for a success
  std::string status;                   // "OK", "FAILED: <error>", "DEAD"
  bool operator==(const LastRunInfo&) const = default;
};

struct PendingRetry {
  std::string run_id;
  Instant next_retry_at;
  uint32_t attempt = 0;  // the number the next attempt will carry
  bool operator==(const PendingRetry&) const = default;
};

// ---- Events (variant order is significant) ----
struct TimerCreated {
  TimerSpec spec;
  bool operator==(const TimerCreated&) const = default;
};
struct TimerUpdated {
  TimerSpec spec;
  bool operator==(const TimerUpdated&) const = default;
};
struct TimerPaused {
  std::string timer_id;
  Instant at;
  bool operator==(const TimerPaused&) const = default;
};
struct TimerResumed {
  std::string timer_id;
  Instant at;
  bool operator==(const TimerResumed&) const = default;
};
struct TimerCancelled {
  std::string timer_id;
  Instant at;
  bool operator==(const TimerCancelled&) const = default;
};
struct RunDue {
  std::string timer_id;
  std::string run_id;
  Instant scheduled_at;
  bool operator==(const RunDue&) const = default;
};
struct RunStarted {
  std::string timer_id;
  std::string run_id;
  Instant started_at;
  uint32_t attempt = 0;
  bool operator==(const RunStarted&) const = default;
};
struct RunSucceeded {
  std::string timer_id;
  std::string run_id;
  Instant finished_at;
  uint64_t duration_ms = 0;
  bool operator==(const RunSucceeded&) const = default;
};
struct RunFailed {
  std::string timer_id;
  std::string run_id;
  Instant finished_at;
  std::string error;
  uint32_t attempt = 0;
  bool operator==(const RunFailed&) const = default;
};
struct RunRetrying {
  std::string timer_id;
  std::string run_id;
  uint32_t attempt = 0;  // the coming attempt
  Instant next_retry_at;
  bool operator==(const RunRetrying&) const = default;
};
struct RunDead {
  std::string timer_id;
  std::string run_id;
  Instant at;
  bool operator==(const RunDead&) const = default;
};

using Event = std::variant<TimerCreated, TimerUpdated, TimerPaused, TimerResumed,
                           TimerCancelled, RunDue, RunStarted, RunSucceeded, RunFailed,
                           RunRetrying, RunDead>;

// The tag written in the log ("TIMER_CREATED", ...), by variant index.
const char* event_tag(const Event& e);
// The timer an event concerns: the definition's id or timer_id.
const std::string& event_timer_id(const Event& e);

// One log line.
struct LogEntry {
  uint8_t v = 1;
  Instant ts;
  Event event;
  bool operator==(const LogEntry&) const = default;
};

// ---- EngineState: the per-timer tables ----
template <typename V>
using TimerMap = std::unordered_map<std::string, V>;

struct EngineState {
  TimerMap<TimerSpec> specs;
  TimerMap<TimerState> states;
  TimerMap<std::string> bindings;  // process-local, never persisted
  TimerMap<LastRunInfo> last_runs;
  TimerMap<Instant> next_runs;  // maintained by schedule and rearm only
  TimerMap<uint32_t> retries_7d;
  TimerMap<PendingRetry> pending_retries;
  bool operator==(const EngineState&) const = default;
};

// Applies one event. Never fails, never touches next_runs or bindings.
void apply(EngineState& state, const Event& event);
// Binds a function name; Orphaned (or absent) becomes Scheduled.
void bind(EngineState& state, const std::string& timer_id, const std::string& fn_name);
// Forgets the function; Scheduled, Running and Retrying become Orphaned.
void unbind(EngineState& state, const std::string& timer_id);

struct TimerStatus {
  std::string id;
  TimerState state = TimerState::kOrphaned;
  std::optional<std::string> fn_name;
  std::optional<Instant> last_run_at;
  std::optional<uint64_t> last_duration_ms;
  std::optional<std::string> last_status;
  std::optional<Instant> next_run_at;
  uint32_t retries_last_7d = 0;
  bool operator==(const TimerStatus&) const = default;
};

// Nothing when `states` has no entry for the id.
std::optional<TimerStatus> status_of(const EngineState& state, const std::string& timer_id);

// "run_" + a lower-case ULID: 30 characters.
std::string new_run_id();

}  // namespace quor
