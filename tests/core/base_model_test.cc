#include "core/model.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/run_id.h"

namespace quor {
namespace {

Instant t(int64_t seconds) { return Instant::from_unix(seconds).value(); }

TimerSpec spec(const std::string& id, uint64_t every = 60) {
  TimerSpec s;
  s.id = id;
  s.schedule = EverySchedule{every};
  s.created_at = t(1000);
  return s;
}

// ---- Names and tags ----

TEST(TimerStateNames, StoredAndLowerNamesRoundTrip) {
  const struct {
    TimerState state;
    const char* name;
    const char* lower;
  } cases[] = {
      {TimerState::kScheduled, "Scheduled", "scheduled"},
      {TimerState::kRunning, "Running", "running"},
      {TimerState::kRetrying, "Retrying", "retrying"},
      {TimerState::kDead, "Dead", "dead"},
      {TimerState::kOrphaned, "Orphaned", "orphaned"},
      {TimerState::kPaused, "Paused", "paused"},
      {TimerState::kCancelled, "Cancelled", "cancelled"},
  };
  ASSERT_EQ(std::size(cases), static_cast<size_t>(kTimerStateCount));
  for (size_t i = 0; i < std::size(cases); ++i) {
    const auto& c = cases[i];
    EXPECT_EQ(static_cast<size_t>(c.state), i);
    EXPECT_STREQ(timer_state_name(c.state), c.name);
    EXPECT_STREQ(timer_state_lower_name(c.state), c.lower);
    EXPECT_EQ(timer_state_from_name(c.name), c.state);
  }
  for (const char* bad : {"", "scheduled", "SCHEDULED", "Scheduled ", "Unknown"}) {
    EXPECT_FALSE(timer_state_from_name(bad).has_value()) << bad;
  }
}

TEST(EventTags, EveryVariantHasItsTagAndTimer) {
  const struct {
    Event event;
    const char* tag;
  } cases[] = {
      {TimerCreated{spec("a")}, "TIMER_CREATED"},
      {TimerUpdated{spec("a")}, "TIMER_UPDATED"},
      {TimerPaused{"a", t(1)}, "TIMER_PAUSED"},
      {TimerResumed{"a", t(1)}, "TIMER_RESUMED"},
      {TimerCancelled{"a", t(1)}, "TIMER_CANCELLED"},
      {RunDue{"a", "r", t(1)}, "RUN_DUE"},
      {RunStarted{"a", "r", t(1), 1}, "RUN_STARTED"},
      {RunSucceeded{"a", "r", t(1), 5}, "RUN_SUCCEEDED"},
      {RunFailed{"a", "r", t(1), "boom", 1}, "RUN_FAILED"},
      {RunRetrying{"a", "r", 2, t(1)}, "RUN_RETRYING"},
      {RunDead{"a", "r", t(1)}, "RUN_DEAD"},
  };
  ASSERT_EQ(std::size(cases), std::variant_size_v<Event>);
  for (size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(cases[i].event.index(), i);
    EXPECT_STREQ(event_tag(cases[i].event), cases[i].tag);
    EXPECT_EQ(event_timer_id(cases[i].event), "a") << cases[i].tag;
  }
}

TEST(RetryPolicyModel, DefaultPolicyAndSpecEquality) {
  EXPECT_EQ(RetryPolicy::default_policy(), (RetryPolicy{3, ExponentialBackoff{30, 3600}}));
  EXPECT_EQ(RetryPolicy::default_policy(7), (RetryPolicy{7, ExponentialBackoff{30, 3600}}));
  EXPECT_EQ(RetryPolicy{}, RetryPolicy::default_policy());

  // Any single field difference makes the definition differ.
  const TimerSpec base = spec("a");
  std::vector<std::function<void(TimerSpec&)>> changes = {
      [](TimerSpec& s) { s.id = "b"; },
      [](TimerSpec& s) { s.schedule = EverySchedule{61}; },
      [](TimerSpec& s) { s.schedule = CronSchedule{"* * * * *"}; },
      [](TimerSpec& s) { s.retry.max_attempts = 4; },
      [](TimerSpec& s) { s.retry.backoff = ExponentialBackoff{30, 3601}; },
      [](TimerSpec& s) { s.retry.backoff = FixedBackoff{30}; },
      [](TimerSpec& s) { s.timezone = "Europe/Paris"; },
      [](TimerSpec& s) { s.created_at = t(1001); },
  };
  for (size_t i = 0; i < changes.size(); ++i) {
    TimerSpec other = base;
    changes[i](other);
    EXPECT_NE(other, base) << "change " << i;
  }
  EXPECT_EQ(spec("a"), base);
  EXPECT_NE(Schedule(AfterSchedule{5, t(1)}), Schedule(AfterSchedule{5, t(2)}));
  EXPECT_TRUE(is_recurring(CronSchedule{"* * * * *"}));
  EXPECT_TRUE(is_recurring(EverySchedule{1}));
  EXPECT_FALSE(is_recurring(AtSchedule{t(1)}));
  EXPECT_FALSE(is_recurring(AfterSchedule{1, t(1)}));
}

// ---- apply ----

// A timer "a" that has a bound function, a next fire, a previous success,
// a pending retry and one retry counted; plus an untouched timer "b".
EngineState busy_state() {
  EngineState s;
  s.specs["a"] = spec("a");
  s.states["a"] = TimerState::kRetrying;
  s.bindings["a"] = "fn_a";
  s.last_runs["a"] = LastRunInfo{"run_old", t(50), 12, "OK"};
  s.next_runs["a"] = t(500);
  s.retries_7d["a"] = 1;
  s.pending_retries["a"] = PendingRetry{"run_old", t(80), 2};
  s.specs["b"] = spec("b");
  s.states["b"] = TimerState::kScheduled;
  s.next_runs["b"] = t(600);
  return s;
}

TEST(Apply, EveryEventOnABusyTimer) {
  const struct {
    const char* name;
    Event event;
    std::function<void(EngineState&)> expect;  // edits busy_state() into the result
  } cases[] = {
      {"TimerCreated", TimerCreated{spec("a", 5)},
       [](EngineState& s) {
         s.specs["a"] = spec("a", 5);
         s.states["a"] = TimerState::kOrphaned;
       }},
      {"TimerUpdated", TimerUpdated{spec("a", 7)},
       [](EngineState& s) { s.specs["a"] = spec("a", 7); }},
      {"TimerPaused", TimerPaused{"a", t(90)},
       [](EngineState& s) { s.states["a"] = TimerState::kPaused; }},
      {"TimerResumed (bound)", TimerResumed{"a", t(90)},
       [](EngineState& s) { s.states["a"] = TimerState::kScheduled; }},
      {"TimerCancelled", TimerCancelled{"a", t(90)},
       [](EngineState& s) { s.states["a"] = TimerState::kCancelled; }},
      {"RunDue", RunDue{"a", "run_new", t(90)},
       [](EngineState& s) { s.states["a"] = TimerState::kRunning; }},
      {"RunStarted", RunStarted{"a", "run_new", t(90), 1},
       [](EngineState& s) { s.states["a"] = TimerState::kRunning; }},
      {"RunSucceeded", RunSucceeded{"a", "run_new", t(95), 250},
       [](EngineState& s) {
         s.states["a"] = TimerState::kScheduled;
         s.last_runs["a"] = LastRunInfo{"run_new", t(95), 250, "OK"};
         s.pending_retries.erase("a");
       }},
      {"RunFailed", RunFailed{"a", "run_new", t(95), "ValueError: bad", 3},
       [](EngineState& s) {
         s.last_runs["a"] = LastRunInfo{"run_new", t(95), std::nullopt, "FAILED: ValueError: bad"};
       }},
      {"RunRetrying", RunRetrying{"a", "run_new", 4, t(200)},
       [](EngineState& s) {
         s.states["a"] = TimerState::kRetrying;
         s.pending_retries["a"] = PendingRetry{"run_new", t(200), 4};
         s.retries_7d["a"] = 2;
       }},
      {"RunDead", RunDead{"a", "run_new", t(99)},
       [](EngineState& s) {
         s.states["a"] = TimerState::kDead;
         s.last_runs["a"] = LastRunInfo{"run_new", t(99), std::nullopt, "DEAD"};
         s.pending_retries.erase("a");
       }},
  };
  for (const auto& c : cases) {
    EngineState got = busy_state();
    apply(got, c.event);
    EngineState want = busy_state();
    c.expect(want);
    // Whole-state equality: bindings and next_runs must be untouched.
    EXPECT_EQ(got, want) << c.name;
  }
}

TEST(Apply, EventsForAnUnknownTimerCreateOnlyWhatTheyWrite) {
  const struct {
    const char* name;
    Event event;
    std::function<void(EngineState&)> expect;
  } cases[] = {
      {"TimerCreated", TimerCreated{spec("n")},
       [](EngineState& s) {
         s.specs["n"] = spec("n");
         s.states["n"] = TimerState::kOrphaned;
       }},
      {"TimerUpdated", TimerUpdated{spec("n")}, [](EngineState& s) { s.specs["n"] = spec("n"); }},
      {"TimerResumed (unbound)", TimerResumed{"n", t(1)},
       [](EngineState& s) { s.states["n"] = TimerState::kOrphaned; }},
      {"RunFailed", RunFailed{"n", "r", t(2), "e", 1},
       [](EngineState& s) { s.last_runs["n"] = LastRunInfo{"r", t(2), std::nullopt, "FAILED: e"}; }},
      {"RunRetrying", RunRetrying{"n", "r", 2, t(3)},
       [](EngineState& s) {
         s.states["n"] = TimerState::kRetrying;
         s.pending_retries["n"] = PendingRetry{"r", t(3), 2};
         s.retries_7d["n"] = 1;
       }},
  };
  for (const auto& c : cases) {
    EngineState got;
    apply(got, c.event);
    EngineState want;
    c.expect(want);
    EXPECT_EQ(got, want) << c.name;
  }
}

TEST(Apply, ReplaySequences) {
  {  // Created then succeeded: scheduled, "OK", the recorded duration.
    EngineState s;
    apply(s, TimerCreated{spec("a")});
    apply(s, RunSucceeded{"a", "r1", t(10), 42});
    auto st = status_of(s, "a");
    ASSERT_TRUE(st);
    EXPECT_EQ(st->state, TimerState::kScheduled);
    EXPECT_EQ(st->last_status, "OK");
    EXPECT_EQ(st->last_duration_ms, 42u);
  }
  {  // A failure alone clears the duration and keeps the state.
    EngineState s;
    apply(s, TimerCreated{spec("a")});
    apply(s, RunSucceeded{"a", "r1", t(10), 42});
    apply(s, RunFailed{"a", "r2", t(20), "boom", 1});
    auto st = status_of(s, "a");
    EXPECT_EQ(st->state, TimerState::kScheduled);
    EXPECT_EQ(st->last_status, "FAILED: boom");
    EXPECT_EQ(st->last_duration_ms, std::nullopt);
    EXPECT_EQ(st->last_run_at, t(20));
  }
  {  // Retries are counted however old; resume while replaying is orphaned.
    EngineState s;
    apply(s, TimerCreated{spec("a")});
    apply(s, RunRetrying{"a", "r1", 2, t(1)});
    apply(s, RunSucceeded{"a", "r1", t(2), 1});
    apply(s, RunRetrying{"a", "r2", 2, t(100000)});
    apply(s, TimerPaused{"a", t(100001)});
    apply(s, TimerResumed{"a", t(100002)});
    auto st = status_of(s, "a");
    EXPECT_EQ(st->retries_last_7d, 2u);
    EXPECT_EQ(st->state, TimerState::kOrphaned);
    EXPECT_EQ(s.pending_retries.at("a"), (PendingRetry{"r2", t(100000), 2}));
  }
  {  // A full failing run under the default policy ends dead.
    EngineState s;
    apply(s, TimerCreated{spec("a")});
    bind(s, "a", "f");
    for (uint32_t attempt = 1; attempt <= 3; ++attempt) {
      apply(s, RunStarted{"a", "r", t(attempt * 100), attempt});
      apply(s, RunFailed{"a", "r", t(attempt * 100 + 1), "x", attempt});
      if (attempt < 3) apply(s, RunRetrying{"a", "r", attempt + 1, t(attempt * 100 + 30)});
    }
    apply(s, RunDead{"a", "r", t(302)});
    EXPECT_EQ(s.states.at("a"), TimerState::kDead);
    EXPECT_EQ(s.last_runs.at("a"), (LastRunInfo{"r", t(302), std::nullopt, "DEAD"}));
    EXPECT_EQ(s.pending_retries.count("a"), 0u);
    EXPECT_EQ(s.retries_7d.at("a"), 2u);
    EXPECT_EQ(s.bindings.at("a"), "f");
  }
}

TEST(Apply, RetryCounterSaturates) {
  EngineState s;
  s.retries_7d["a"] = UINT32_MAX;
  apply(s, RunRetrying{"a", "r", 2, t(1)});
  EXPECT_EQ(s.retries_7d.at("a"), UINT32_MAX);
}

// ---- bind / unbind ----

TEST(Bind, TransitionsFromEveryState) {
  const struct {
    std::optional<TimerState> before;
    std::optional<TimerState> after_bind;
    std::optional<TimerState> after_unbind;
  } cases[] = {
      {std::nullopt, TimerState::kScheduled, std::nullopt},
      {TimerState::kOrphaned, TimerState::kScheduled, TimerState::kOrphaned},
      {TimerState::kScheduled, TimerState::kScheduled, TimerState::kOrphaned},
      {TimerState::kRunning, TimerState::kRunning, TimerState::kOrphaned},
      {TimerState::kRetrying, TimerState::kRetrying, TimerState::kOrphaned},
      {TimerState::kDead, TimerState::kDead, TimerState::kDead},
      {TimerState::kPaused, TimerState::kPaused, TimerState::kPaused},
      {TimerState::kCancelled, TimerState::kCancelled, TimerState::kCancelled},
  };
  auto state_of = [](const EngineState& s) -> std::optional<TimerState> {
    auto it = s.states.find("a");
    if (it == s.states.end()) return std::nullopt;
    return it->second;
  };
  for (const auto& c : cases) {
    const std::string label = c.before ? timer_state_name(*c.before) : "(none)";
    EngineState s;
    if (c.before) s.states["a"] = *c.before;
    s.states["other"] = TimerState::kOrphaned;

    bind(s, "a", "fn");
    EXPECT_EQ(state_of(s), c.after_bind) << label;
    EXPECT_EQ(s.bindings.at("a"), "fn") << label;
    bind(s, "a", "fn2");  // rebinding replaces the name
    EXPECT_EQ(s.bindings.at("a"), "fn2") << label;
    EXPECT_EQ(state_of(s), c.after_bind) << label;

    EngineState u;
    if (c.before) u.states["a"] = *c.before;
    u.bindings["a"] = "fn";
    unbind(u, "a");
    EXPECT_EQ(state_of(u), c.after_unbind) << label;
    EXPECT_EQ(u.bindings.count("a"), 0u) << label;

    // Other timers are never touched.
    EXPECT_EQ(s.states.at("other"), TimerState::kOrphaned);
    EXPECT_EQ(s.bindings.count("other"), 0u);
  }
}

// ---- status_of ----

TEST(StatusOf, FieldsPresentAndAbsent) {
  EngineState s;
  s.specs["only_spec"] = spec("only_spec");
  EXPECT_EQ(status_of(s, "only_spec"), std::nullopt);
  EXPECT_EQ(status_of(s, "missing"), std::nullopt);

  // Never ran: id, state, fn_name, next_run_at, and zero retries.
  apply(s, TimerCreated{spec("a")});
  bind(s, "a", "job");
  s.next_runs["a"] = t(700);
  TimerStatus want;
  want.id = "a";
  want.state = TimerState::kScheduled;
  want.fn_name = "job";
  want.next_run_at = t(700);
  EXPECT_EQ(status_of(s, "a"), want);

  // After a success every field is filled.
  apply(s, RunRetrying{"a", "r", 2, t(750)});
  apply(s, RunSucceeded{"a", "r", t(800), 33});
  want.state = TimerState::kScheduled;
  want.last_run_at = t(800);
  want.last_duration_ms = 33;
  want.last_status = "OK";
  want.retries_last_7d = 1;
  EXPECT_EQ(status_of(s, "a"), want);

  // Unbound and dead, no next fire: fn_name, duration and next_run_at absent.
  unbind(s, "a");
  apply(s, RunDead{"a", "r2", t(900)});
  s.next_runs.erase("a");
  want.state = TimerState::kDead;
  want.fn_name.reset();
  want.last_run_at = t(900);
  want.last_duration_ms.reset();
  want.last_status = "DEAD";
  want.next_run_at.reset();
  EXPECT_EQ(status_of(s, "a"), want);
}

// ---- Run ids ----

TEST(RunId, ShapeAndAlphabet) {
  std::set<std::string> seen;
  for (int i = 0; i < 2000; ++i) {
    const std::string id = new_run_id();
    ASSERT_EQ(id.size(), 30u) << id;
    ASSERT_EQ(id.substr(0, 4), "run_") << id;
    for (char c : id.substr(4)) {
      ASSERT_NE(std::string("0123456789abcdefghjkmnpqrstvwxyz").find(c), std::string::npos)
          << id;
    }
    // The first digit carries only 3 bits.
    ASSERT_LE(id[4], '7') << id;
    seen.insert(id);
  }
  EXPECT_EQ(seen.size(), 2000u);
}

TEST(RunId, DistinctAcrossThreads) {
  constexpr int kThreads = 4, kEach = 500;
  std::vector<std::vector<std::string>> made(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&made, i] {
      for (int j = 0; j < kEach; ++j) made[i].push_back(new_run_id());
    });
  }
  for (auto& th : threads) th.join();
  std::set<std::string> all;
  for (const auto& v : made) all.insert(v.begin(), v.end());
  EXPECT_EQ(all.size(), static_cast<size_t>(kThreads * kEach));
}

TEST(RunId, EncodingIsBigEndianCrockford) {
  const uint8_t zeros[10] = {};
  const uint8_t ones[10] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
  EXPECT_EQ(encode_ulid(0, zeros), "00000000000000000000000000");
  EXPECT_EQ(encode_ulid((uint64_t{1} << 48) - 1, ones), "7zzzzzzzzzzzzzzzzzzzzzzzzz");
  // The time part of a well-known ULID, 01ARYZ6S41...
  EXPECT_EQ(encode_ulid(1469918176385, zeros).substr(0, 10), "01aryz6s41");
  // The last random bit is the last digit's lowest bit.
  const uint8_t one[10] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  EXPECT_EQ(encode_ulid(0, one), "00000000000000000000000001");
  // The time lives in the first 10 digits only.
  EXPECT_EQ(encode_ulid(1, zeros), "00000000010000000000000000");
}

TEST(RunId, TimePartFollowsTheClock) {
  const Instant before = Instant::now();
  const std::string id = new_run_id();
  const Instant after = Instant::now();
  const uint8_t zeros[10] = {};
  auto ms = [](Instant i) {
    return static_cast<uint64_t>(i.unix_seconds() * 1000 + i.nanos() / 1'000'000);
  };
  const std::string lo = encode_ulid(ms(before), zeros).substr(0, 10);
  const std::string hi = encode_ulid(ms(after), zeros).substr(0, 10);
  EXPECT_GE(id.substr(4, 10), lo);
  EXPECT_LE(id.substr(4, 10), hi);
}

}  // namespace
}  // namespace quor
