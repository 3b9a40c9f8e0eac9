#include "core/model.h"

#include <cstdint>
#include <type_traits>

namespace quor {

namespace {

constexpr const char* kStateNames[kTimerStateCount] = {
    "Scheduled", "Running", "Retrying", "Dead", "Orphaned", "Paused", "Cancelled",
};
constexpr const char* kStateLowerNames[kTimerStateCount] = {
    "scheduled", "running", "retrying", "dead", "orphaned", "paused", "cancelled",
};

constexpr const char* kEventTags[std::variant_size_v<Event>] = {
    "TIMER_CREATED", "TIMER_UPDATED", "TIMER_PAUSED", "TIMER_RESUMED",
    "TIMER_CANCELLED", "RUN_DUE", "RUN_STARTED", "RUN_SUCCEEDED",
    "RUN_FAILED", "RUN_RETRYING", "RUN_DEAD",
};

}  // namespace

const char* timer_state_name(TimerState s) {
  const auto i = static_cast<size_t>(s);
  return i < kTimerStateCount ? kStateNames[i] : "?";
}

const char* timer_state_lower_name(TimerState s) {
  const auto i = static_cast<size_t>(s);
  return i < kTimerStateCount ? kStateLowerNames[i] : "?";
}

std::optional<TimerState> timer_state_from_name(std::string_view name) {
  for (int i = 0; i < kTimerStateCount; ++i) {
    if (name == kStateNames[i]) return static_cast<TimerState>(i);
  }
  return std::nullopt;
}

const char* event_tag(const Event& e) { return kEventTags[e.index()]; }

const std::string& event_timer_id(const Event& e) {
  return std::visit(
      [](const auto& ev) -> const std::string& {
        using T = std::decay_t<decltype(ev)>;
        if constexpr (std::is_same_v<T, TimerCreated> || std::is_same_v<T, TimerUpdated>) {
          return ev.spec.id;
        } else {
          return ev.timer_id;
        }
      },
      e);
}

namespace {

struct Applier {
  EngineState& s;

  void operator()(const TimerCreated& e) {
    s.specs.insert_or_assign(e.spec.id, e.spec);
    s.states.insert_or_assign(e.spec.id, TimerState::kOrphaned);
  }
  void operator()(const TimerUpdated& e) { s.specs.insert_or_assign(e.spec.id, e.spec); }
  void operator()(const TimerPaused& e) {
    s.states.insert_or_assign(e.timer_id, TimerState::kPaused);
  }
  void operator()(const TimerResumed& e) {
    const bool bound = s.bindings.count(e.timer_id) != 0;
    s.states.insert_or_assign(e.timer_id, bound ? TimerState::kScheduled : TimerState::kOrphaned);
  }
  void operator()(const TimerCancelled& e) {
    s.states.insert_or_assign(e.timer_id, TimerState::kCancelled);
  }
  void operator()(const RunDue& e) { s.states.insert_or_assign(e.timer_id, TimerState::kRunning); }
  void operator()(const RunStarted& e) {
    s.states.insert_or_assign(e.timer_id, TimerState::kRunning);
  }
  void operator()(const RunSucceeded& e) {
    s.states.insert_or_assign(e.timer_id, TimerState::kScheduled);
    s.last_runs.insert_or_assign(e.timer_id,
                                 LastRunInfo{e.run_id, e.finished_at, e.duration_ms, "OK"});
    s.pending_retries.erase(e.timer_id);
  }
  void operator()(const RunFailed& e) {
    s.last_runs.insert_or_assign(
        e.timer_id, LastRunInfo{e.run_id, e.finished_at, std::nullopt, "FAILED: " + e.error});
  }
  void operator()(const RunRetrying& e) {
    s.states.insert_or_assign(e.timer_id, TimerState::kRetrying);
    s.pending_retries.insert_or_assign(e.timer_id,
                                       PendingRetry{e.run_id, e.next_retry_at, e.attempt});
    // Counts every retry ever applied; saturates rather than wrapping to 0.
    uint32_t& n = s.retries_7d[e.timer_id];
    if (n != UINT32_MAX) ++n;
  }
  void operator()(const RunDead& e) {
    s.states.insert_or_assign(e.timer_id, TimerState::kDead);
    s.last_runs.insert_or_assign(e.timer_id, LastRunInfo{e.run_id, e.at, std::nullopt, "DEAD"});
    s.pending_retries.erase(e.timer_id);
  }
};

}  // namespace

void apply(EngineState& state, const Event& event) { std::visit(Applier{state}, event); }

void bind(EngineState& state, const std::string& timer_id, const std::string& fn_name) {
  state.bindings.insert_or_assign(timer_id, fn_name);
  auto it = state.states.find(timer_id);
  if (it == state.states.end()) {
    state.states.emplace(timer_id, TimerState::kScheduled);
  } else if (it->second == TimerState::kOrphaned) {
    it->second = TimerState::kScheduled;
  }
}

void unbind(EngineState& state, const std::string& timer_id) {
  state.bindings.erase(timer_id);
  auto it = state.states.find(timer_id);
  if (it == state.states.end()) return;
  switch (it->second) {
    case TimerState::kScheduled:
    case TimerState::kRunning:
    case TimerState::kRetrying:
      it->second = TimerState::kOrphaned;
      break;
    default:
      break;
  }
}

std::optional<TimerStatus> status_of(const EngineState& state, const std::string& timer_id) {
  auto st = state.states.find(timer_id);
  if (st == state.states.end()) return std::nullopt;
  TimerStatus out;
  out.id = timer_id;
  out.state = st->second;
  if (auto b = state.bindings.find(timer_id); b != state.bindings.end()) out.fn_name = b->second;
  if (auto l = state.last_runs.find(timer_id); l != state.last_runs.end()) {
    out.last_run_at = l->second.finished_at;
    out.last_duration_ms = l->second.duration_ms;
    out.last_status = l->second.status;
  }
  if (auto n = state.next_runs.find(timer_id); n != state.next_runs.end()) {
    out.next_run_at = n->second;
  }
  if (auto r = state.retries_7d.find(timer_id); r != state.retries_7d.end()) {
    out.retries_last_7d = r->second;
  }
  return out;
}

}  // namespace quor
