#include "core/engine/engine.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>

#include "engine_fixtures.h"

namespace quor {
namespace {

using namespace testing_util;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;
using std::chrono::seconds;
using Tags = std::vector<std::string>;

Instant soon() { return Instant::now().add_millis(50).value(); }

RetryPolicy fixed(uint32_t max_attempts, uint64_t seconds = 0) {
  return RetryPolicy{max_attempts, FixedBackoff{seconds}};
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void write_file(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
}

class EngineTest : public ::testing::Test {
 protected:
  void TearDown() override { close(); }

  std::shared_ptr<Engine> open() {
    auto r = Engine::open(dir.path(), &fs);
    EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().message());
    return r.ok() ? std::move(r).value() : nullptr;
  }

  void start() {
    engine = open();
    ASSERT_TRUE(engine);
    ASSERT_TRUE(engine->start().ok());
  }

  std::shared_ptr<ScriptedTask> task(std::vector<Step> script = {}, std::string name = "job") {
    auto t = std::make_shared<ScriptedTask>(std::move(script), std::move(name));
    tasks.push_back(t);
    return t;
  }

  // Drops the engine once nothing but it still holds the core, so that no
  // run task touches `fs` after the test.
  void close() {
    if (!engine) return;
    engine->stop_background();
    for (auto& t : tasks) t->release();
    EXPECT_TRUE(eventually([&] {
      return EngineTestAccess::in_flight(*engine) == 0 && EngineTestAccess::core_refs(*engine) == 1;
    }));
    engine.reset();
  }

  TimerStatus status(const std::string& id) {
    auto s = engine->status(id);
    EXPECT_TRUE(s.has_value()) << id;
    return s.value_or(TimerStatus{});
  }

  bool wait_last_status(const std::string& id, const std::string& last) {
    return eventually([&] {
      auto s = engine->status(id);
      return s && s->last_status == last && EngineTestAccess::in_flight(*engine) == 0;
    });
  }

  // The log from its first run record on.
  Tags run_tags() {
    Tags all = log_tags(dir.path());
    auto it = std::find(all.begin(), all.end(), "RUN_DUE");
    return Tags(it, all.end());
  }

  TempDir dir;
  FaultFs fs;
  std::vector<std::shared_ptr<ScriptedTask>> tasks;
  std::shared_ptr<Engine> engine;
};

// ---- phases ----

TEST_F(EngineTest, OpenedEngineShutsDownAtOnceAndRefusesWork) {
  engine = open();
  EXPECT_FALSE(engine->status("nope").has_value());
  EXPECT_TRUE(engine->list().empty());
  ASSERT_TRUE(engine->shutdown(nanoseconds(0)).ok());
  auto s = engine->schedule("t", EverySchedule{60}, task());
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().message(), "engine has already been shut down");
  auto st = engine->start();
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().message(), "engine has already been shut down");
  EXPECT_TRUE(engine->shutdown(nanoseconds(0)).ok());
  // Queries and compaction keep working.
  EXPECT_TRUE(engine->list().empty());
  EXPECT_TRUE(engine->compact().ok());
}

TEST_F(EngineTest, RunningEngineRefusesSecondStartAndStopsCleanly) {
  start();
  auto again = engine->start();
  ASSERT_FALSE(again.ok());
  EXPECT_EQ(again.error().message(), "engine already started");
  ASSERT_TRUE(engine->shutdown(nanoseconds(0)).ok());
  EXPECT_EQ(engine->start().error().message(), "engine has already been shut down");
  EXPECT_EQ(engine->schedule("t", EverySchedule{60}, task()).error().message(),
            "engine has already been shut down");
}

TEST_F(EngineTest, SecondOpenOfLockedDirectoryFails) {
  engine = open();
  auto second = Engine::open(dir.path(), &fs);
  ASSERT_FALSE(second.ok());
  EXPECT_EQ(second.error().kind(), ErrorKind::kDataDirLocked);
  EXPECT_EQ(second.error().message(), "data directory is already locked: " + dir.file("quor.lock"));
  close();
  engine = open();
  EXPECT_TRUE(engine);
}

// ---- runs ----

TEST_F(EngineTest, SuccessfulRunLogsDueStartedSucceeded) {
  start();
  auto t = task({Step::ok()});
  const Instant at = soon();
  ASSERT_TRUE(engine->schedule("t", AtSchedule{at}, t).ok());
  ASSERT_EQ(status("t").next_run_at, at);
  ASSERT_TRUE(wait_last_status("t", "OK"));

  auto entries = log_entries(dir.path());
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(log_tags(dir.path()), (Tags{"TIMER_CREATED", "RUN_DUE", "RUN_STARTED 1", "RUN_SUCCEEDED"}));
  const std::string run_id = run_id_of(entries[1].event);
  EXPECT_EQ(run_id.size(), 30u);
  EXPECT_EQ(run_id_of(entries[2].event), run_id);
  EXPECT_EQ(run_id_of(entries[3].event), run_id);
  EXPECT_EQ(std::get<RunDue>(entries[1].event).scheduled_at, at);
  ASSERT_EQ(t->calls().size(), 1u);
  EXPECT_EQ(t->calls()[0], std::make_pair(std::string("t"), run_id));

  TimerStatus s = status("t");
  EXPECT_EQ(s.state, TimerState::kScheduled);
  EXPECT_EQ(s.fn_name, "job");
  EXPECT_TRUE(s.last_duration_ms.has_value());
  EXPECT_FALSE(s.next_run_at.has_value());  // a one-shot timer is not re-armed
  EXPECT_EQ(engine->due_entry_count(), 0u);
}

struct RetryCase {
  uint32_t max_attempts;
  Tags tags;
  uint32_t retries;
};

class RetryTest : public EngineTest, public ::testing::WithParamInterface<RetryCase> {};

TEST_P(RetryTest, AlwaysFailingRunEndsDead) {
  const RetryCase& c = GetParam();
  start();
  auto t = task({Step::fail("e1"), Step::fail("e2"), Step::fail("e3")});
  ASSERT_TRUE(engine->schedule("t", AtSchedule{soon()}, t, fixed(c.max_attempts)).ok());
  ASSERT_TRUE(wait_last_status("t", "DEAD"));

  EXPECT_EQ(run_tags(), c.tags);
  auto entries = log_entries(dir.path());
  for (size_t i = 2; i < entries.size(); ++i) {
    EXPECT_EQ(run_id_of(entries[i].event), run_id_of(entries[1].event)) << "one run id";
  }
  TimerStatus s = status("t");
  EXPECT_EQ(s.state, TimerState::kDead);
  EXPECT_EQ(s.retries_last_7d, c.retries);
  EXPECT_FALSE(s.last_duration_ms.has_value());
  EXPECT_FALSE(s.next_run_at.has_value());
  EXPECT_EQ(engine->due_entry_count(), 0u);
}

const Tags kDeadAtOnce = {"RUN_DUE", "RUN_STARTED 1", "RUN_FAILED 1", "RUN_DEAD"};

INSTANTIATE_TEST_SUITE_P(
    MaxAttempts, RetryTest,
    ::testing::Values(RetryCase{0, kDeadAtOnce, 0}, RetryCase{1, kDeadAtOnce, 0},
                      RetryCase{3,
                                {"RUN_DUE", "RUN_STARTED 1", "RUN_FAILED 1", "RUN_RETRYING 2",
                                 "RUN_DUE", "RUN_STARTED 2", "RUN_FAILED 2", "RUN_RETRYING 3",
                                 "RUN_DUE", "RUN_STARTED 3", "RUN_FAILED 3", "RUN_DEAD"},
                                2}));

TEST_F(EngineTest, DeadRecurringTimerIsArmedForItsNextFire) {
  start();
  auto t = task({Step::fail("boom")});  // the second run then blocks
  ASSERT_TRUE(engine->schedule("t", EverySchedule{0}, t, fixed(1)).ok());
  ASSERT_TRUE(t->wait_running(1));
  ASSERT_TRUE(t->wait_calls(2));
  auto entries = log_entries(dir.path());
  Tags tags;
  for (auto& e : entries) tags.push_back(describe(e.event));
  ASSERT_EQ(tags, (Tags{"TIMER_CREATED", "RUN_DUE", "RUN_STARTED 1", "RUN_FAILED 1", "RUN_DEAD",
                        "RUN_DUE", "RUN_STARTED 1"}));
  EXPECT_NE(run_id_of(entries[5].event), run_id_of(entries[1].event));  // a new run
}

TEST_F(EngineTest, FailureThenSuccessClearsThePendingRetry) {
  start();
  auto t = task({Step::fail("flaky"), Step::ok()});
  ASSERT_TRUE(engine->schedule("t", AtSchedule{soon()}, t, fixed(3)).ok());
  ASSERT_TRUE(wait_last_status("t", "OK"));
  EXPECT_EQ(run_tags(), (Tags{"RUN_DUE", "RUN_STARTED 1", "RUN_FAILED 1", "RUN_RETRYING 2",
                              "RUN_DUE", "RUN_STARTED 2", "RUN_SUCCEEDED"}));
  TimerStatus s = status("t");
  EXPECT_EQ(s.state, TimerState::kScheduled);
  EXPECT_EQ(s.retries_last_7d, 1u);
  auto core = EngineTestAccess::core(*engine);
  MutexLock lk(core->mu);
  EXPECT_EQ(core->state.pending_retries.count("t"), 0u);
}

TEST_F(EngineTest, FailureTextReachesLastStatus) {
  start();
  auto t = task({Step::fail("disk \"full\"")});
  ASSERT_TRUE(engine->schedule("t", AtSchedule{soon()}, t, fixed(2, 3600)).ok());
  ASSERT_TRUE(wait_last_status("t", "FAILED: disk \"full\""));
  TimerStatus s = status("t");
  EXPECT_EQ(s.state, TimerState::kRetrying);
  EXPECT_FALSE(s.next_run_at.has_value());  // no regular fire while a retry waits
  EXPECT_EQ(engine->due_entry_count(), 1u);  // the retry
}

struct FaultCase {
  const char* name;
  Step step;
  std::string suffix;  // the RunFailed error is "task panicked: task <N>" + suffix
};

class AbnormalEndTest : public EngineTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(AbnormalEndTest, EscapingExceptionIsAFailedAttempt) {
  start();
  auto t = task({GetParam().step});
  ASSERT_TRUE(engine->schedule("t", AtSchedule{soon()}, t, fixed(1)).ok());
  ASSERT_TRUE(wait_last_status("t", "DEAD"));
  auto entries = log_entries(dir.path());
  ASSERT_EQ(entries.size(), 5u);
  const std::string error = std::get<RunFailed>(entries[3].event).error;
  const std::string prefix = "task panicked: task ";
  ASSERT_EQ(error.compare(0, prefix.size(), prefix), 0) << error;
  size_t digits = prefix.size();
  while (digits < error.size() && std::isdigit(static_cast<unsigned char>(error[digits]))) ++digits;
  EXPECT_GT(digits, prefix.size()) << error;
  EXPECT_EQ(error.substr(digits), GetParam().suffix);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, AbnormalEndTest,
    ::testing::Values(
        FaultCase{"Message", Step::throw_std("bad \"x\"\n\t\\"),
                  R"( panicked with message "bad \"x\"\n\t\\")"},
        FaultCase{"ControlAndBadUtf8", Step::throw_std("a\x01\xff"),
                  " panicked with message \"a\\u{1}\xEF\xBF\xBD\""},
        FaultCase{"EmptyMessage", Step::throw_std(""), " panicked"},
        FaultCase{"NotAnException", Step::throw_other(), " panicked"}),
    [](const auto& info) { return std::string(info.param.name); });

struct DelayCase {
  uint64_t seconds;
  bool retries;
};

class RetryDelayTest : public EngineTest, public ::testing::WithParamInterface<DelayCase> {};

TEST_P(RetryDelayTest, DelayBeyondInstantRangeMakesTheRunDead) {
  start();
  auto t = task({Step::fail("x")});
  ASSERT_TRUE(engine->schedule("t", AtSchedule{soon()}, t, fixed(3, GetParam().seconds)).ok());
  ASSERT_TRUE(eventually([&] {
    auto s = engine->status("t");
    return s && s->last_status && EngineTestAccess::in_flight(*engine) == 0 &&
           (s->state == TimerState::kDead || s->state == TimerState::kRetrying);
  }));
  auto entries = log_entries(dir.path());
  ASSERT_EQ(entries.size(), 5u);
  if (GetParam().retries) {
    ASSERT_EQ(describe(entries[4].event), "RUN_RETRYING 2");
    const auto& failed = std::get<RunFailed>(entries[3].event);
    EXPECT_EQ(std::get<RunRetrying>(entries[4].event).next_retry_at,
              failed.finished_at.add_seconds(GetParam().seconds).value());
    EXPECT_EQ(engine->due_entry_count(), 1u);
  } else {
    EXPECT_EQ(describe(entries[4].event), "RUN_DEAD");
    EXPECT_EQ(status("t").state, TimerState::kDead);
    EXPECT_EQ(engine->due_entry_count(), 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(Delays, RetryDelayTest,
                         ::testing::Values(DelayCase{Instant::kMaxSpanSeconds + 1, false},
                                           DelayCase{UINT64_MAX, false},
                                           DelayCase{Instant::kMaxSpanSeconds, false},
                                           DelayCase{1000ULL * 365 * 86400, true}));

TEST_F(EngineTest, RunsOfDifferentTimersOverlap) {
  start();
  constexpr int kTimers = 8;
  auto t = task(std::vector<Step>(kTimers, Step::hang_ok()));
  for (int i = 0; i < kTimers; ++i) {
    ASSERT_TRUE(engine->schedule("t" + std::to_string(i), EverySchedule{0}, t).ok());
  }
  EXPECT_TRUE(t->wait_running(kTimers));  // every call blocked at once
}

TEST_F(EngineTest, DueEntryWithoutBoundFunctionOrphansTheTimer) {
  engine = open();
  ASSERT_TRUE(engine->schedule("t", EverySchedule{3600}, task()).ok());
  close();
  engine = open();  // "t" exists, but nothing is bound in this process
  ASSERT_TRUE(engine->start().ok());
  EngineTestAccess::push(*engine, DueEntry{"t", std::nullopt, Instant::now(), 1});
  ASSERT_TRUE(eventually([&] {
    return log_tags(dir.path()).size() == 3 && EngineTestAccess::in_flight(*engine) == 0;
  }));
  EXPECT_EQ(log_tags(dir.path()), (Tags{"TIMER_CREATED", "RUN_DUE", "RUN_STARTED 1"}));
  TimerStatus s = status("t");
  EXPECT_EQ(s.state, TimerState::kOrphaned);
  EXPECT_FALSE(s.fn_name.has_value());
  EXPECT_FALSE(s.next_run_at.has_value());
  EXPECT_EQ(engine->due_entry_count(), 0u);
}

TEST_F(EngineTest, ScheduleDuringRunArmsASecondEntry) {
  start();
  auto t = task({Step::hang_ok()});
  ASSERT_TRUE(engine->schedule("t", EverySchedule{3600}, t).ok());
  EngineTestAccess::push(*engine, DueEntry{"t", std::nullopt, Instant::now(), 1});
  ASSERT_TRUE(t->wait_running(1));
  // The run removed the regular entry's next run; the same definition again
  // appends nothing but arms a fresh fire at once.
  ASSERT_TRUE(engine->schedule("t", EverySchedule{3600}, t).ok());
  EXPECT_TRUE(status("t").next_run_at.has_value());
  const size_t before = engine->due_entry_count();  // the original entry and the new one
  t->release();
  ASSERT_TRUE(wait_last_status("t", "OK"));
  EXPECT_EQ(engine->due_entry_count(), before + 1);  // the run armed again when it ended
  Tags tags = log_tags(dir.path());
  EXPECT_EQ(std::count(tags.begin(), tags.end(), "TIMER_CREATED"), 1);
}

TEST_F(EngineTest, ScheduleWhileRunningLetsTwoRunsOverlap) {
  start();
  auto t = task({Step::hang_ok(), Step::hang_ok()});
  ASSERT_TRUE(engine->schedule("t", EverySchedule{0}, t).ok());
  ASSERT_TRUE(t->wait_running(1));
  ASSERT_TRUE(engine->schedule("t", EverySchedule{0}, t).ok());
  ASSERT_TRUE(t->wait_running(2));
  auto calls = t->calls();
  EXPECT_NE(calls[0].second, calls[1].second);
}

// ---- shutdown ----

TEST_F(EngineTest, ZeroTimeoutShutdownFailsWhileACallHangsThenSucceeds) {
  start();
  auto t = task({Step::hang_ok()});
  ASSERT_TRUE(engine->schedule("t", EverySchedule{0}, t).ok());
  ASSERT_TRUE(t->wait_running(1));

  auto timed_out = engine->shutdown(nanoseconds(0));
  ASSERT_FALSE(timed_out.ok());
  EXPECT_EQ(timed_out.error().kind(), ErrorKind::kShutdownTimedOut);
  EXPECT_EQ(timed_out.error().message(), "shutdown timed out after 0ms");
  // Whole milliseconds, truncated.
  EXPECT_EQ(engine->shutdown(nanoseconds(2999999)).error().message(),
            "shutdown timed out after 2ms");
  EXPECT_EQ(engine->schedule("u", EverySchedule{60}, t).error().message(),
            "engine has already been shut down");
  EXPECT_EQ(engine->start().error().message(), "engine already started");
  EXPECT_EQ(status("t").state, TimerState::kRunning);

  t->release();
  ASSERT_TRUE(engine->shutdown(kDeadline).ok());
  EXPECT_EQ(status("t").last_status, "OK");
  EXPECT_EQ(engine->due_entry_count(), 0u);  // stopping: nothing re-armed
  EXPECT_FALSE(status("t").next_run_at.has_value());
}

TEST_F(EngineTest, RunFailingWhileStoppingRecordsRetryButPushesNothing) {
  start();
  auto t = task({Step::hang_fail("late")});
  ASSERT_TRUE(engine->schedule("t", AtSchedule{soon()}, t, fixed(3)).ok());
  ASSERT_TRUE(t->wait_running(1));
  ASSERT_FALSE(engine->shutdown(nanoseconds(0)).ok());
  t->release();
  ASSERT_TRUE(engine->shutdown(kDeadline).ok());
  EXPECT_EQ(run_tags(), (Tags{"RUN_DUE", "RUN_STARTED 1", "RUN_FAILED 1", "RUN_RETRYING 2"}));
  EXPECT_EQ(status("t").state, TimerState::kRetrying);
  EXPECT_EQ(engine->due_entry_count(), 0u);
}

// ---- a log that fails ----

class LogFailureTest : public EngineTest, public ::testing::WithParamInterface<int> {};

// The k-th append of the run fails: RunDue, RunStarted, RunSucceeded.
TEST_P(LogFailureTest, FailedAppendStopsTheEngine) {
  const int k = GetParam();
  start();
  auto t = task({Step::ok()});
  ASSERT_TRUE(engine->schedule("t", AtSchedule{soon()}, t).ok());
  ::testing::internal::CaptureStderr();
  fs.fail(FaultFs::Op::kWrite, "quor.aof", k);
  ASSERT_TRUE(eventually([&] { return fs.fired(); }));
  ASSERT_TRUE(eventually([&] { return EngineTestAccess::in_flight(*engine) == 0; }));
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(err,
            "[quor] ERROR: stopping engine after durable log append failed: log I/O error: " +
                os_error_text(EIO) + "\n");

  Tags expected = {"TIMER_CREATED", "RUN_DUE", "RUN_STARTED 1"};
  expected.resize(k);
  EXPECT_EQ(log_tags(dir.path()), expected);
  EXPECT_EQ(engine->schedule("u", EverySchedule{60}, t).error().message(),
            "engine has already been shut down");
  EXPECT_EQ(engine->start().error().message(), "engine has already been shut down");
  EXPECT_TRUE(engine->shutdown(nanoseconds(0)).ok());
  EXPECT_EQ(status("t").state, k == 1 ? TimerState::kScheduled : TimerState::kRunning);

  // Everything acknowledged is there after a restart.
  close();
  engine = open();
  EXPECT_EQ(log_tags(dir.path()), expected);
  EXPECT_EQ(engine->list().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(WhichAppend, LogFailureTest, ::testing::Values(1, 2, 3));

TEST_F(EngineTest, FailedDefinitionAppendIsReturnedAndEngineGoesOn) {
  start();
  fs.fail(FaultFs::Op::kSync, "quor.aof");
  auto s = engine->schedule("t", EverySchedule{60}, task());
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().kind(), ErrorKind::kLogIo);
  EXPECT_FALSE(engine->status("t").has_value());
  ASSERT_TRUE(engine->schedule("t", EverySchedule{60}, task()).ok());
  EXPECT_EQ(log_tags(dir.path()), (Tags{"TIMER_CREATED"}));
}

// ---- schedule ----

TEST_F(EngineTest, IdenticalScheduleAppendsOnceAndReplacesTheTask) {
  start();
  ASSERT_TRUE(engine->schedule("t", EverySchedule{3600}, task({}, "first")).ok());
  const Instant next = *status("t").next_run_at;
  ASSERT_TRUE(engine->schedule("t", EverySchedule{3600}, task({}, "second")).ok());
  EXPECT_EQ(log_tags(dir.path()), (Tags{"TIMER_CREATED"}));
  EXPECT_EQ(status("t").fn_name, "second");
  EXPECT_EQ(status("t").next_run_at, next);  // already armed: left alone
  EXPECT_EQ(engine->due_entry_count(), 1u);
}

TEST_F(EngineTest, ChangedScheduleUpdatesAndRearms) {
  start();
  ASSERT_TRUE(engine->schedule("t", EverySchedule{3600}, task()).ok());
  EngineTestAccess::push(*engine, DueEntry{"t", std::string("run_x"), Instant::max(), 2});
  ASSERT_EQ(engine->due_entry_count(), 2u);
  const Instant before = Instant::now();
  ASSERT_TRUE(engine->schedule("t", EverySchedule{7200}, task()).ok());
  EXPECT_EQ(log_tags(dir.path()), (Tags{"TIMER_CREATED", "TIMER_UPDATED"}));
  EXPECT_EQ(engine->due_entry_count(), 1u);  // the old regular and retry entries are gone
  EXPECT_GE(*status("t").next_run_at, before.add_seconds(7200).value());
  auto entries = log_entries(dir.path());
  EXPECT_EQ(std::get<TimerUpdated>(entries[1].event).spec.created_at,
            std::get<TimerCreated>(entries[0].event).spec.created_at);
}

TEST_F(EngineTest, UnevaluableScheduleSucceedsUnarmed) {
  start();
  ASSERT_TRUE(engine->schedule("cron", CronSchedule{"not a cron"}, task()).ok());
  ASSERT_TRUE(engine->schedule("zone", EverySchedule{1}, task(), std::nullopt, "Mars/Base").ok());
  ASSERT_TRUE(engine->schedule("past", AtSchedule{Instant::now()}, task()).ok());
  for (const char* id : {"cron", "zone", "past"}) {
    TimerStatus s = status(id);
    EXPECT_EQ(s.state, TimerState::kScheduled) << id;
    EXPECT_EQ(s.fn_name, "job") << id;
    EXPECT_FALSE(s.next_run_at.has_value()) << id;
  }
  EXPECT_EQ(engine->due_entry_count(), 0u);
  EXPECT_EQ(log_tags(dir.path()), (Tags{"TIMER_CREATED", "TIMER_CREATED", "TIMER_CREATED"}));
}

TEST_F(EngineTest, DefaultsAreUtcAndTheDefaultPolicy) {
  engine = open();
  ASSERT_TRUE(engine->schedule("t", EverySchedule{60}, task()).ok());
  auto spec = std::get<TimerCreated>(log_entries(dir.path())[0].event).spec;
  EXPECT_EQ(spec.timezone, "UTC");
  EXPECT_EQ(spec.retry, RetryPolicy::default_policy());
}

// ---- reopening ----

TEST_F(EngineTest, ReopenReportsEveryTimerOrphanedWithoutNextRun) {
  engine = open();
  ASSERT_TRUE(engine->schedule("every", EverySchedule{3600}, task()).ok());
  ASSERT_TRUE(engine->schedule("cron", CronSchedule{"0 9 * * *"}, task(), std::nullopt,
                               "Europe/Berlin").ok());
  ASSERT_TRUE(engine->schedule("at", AtSchedule{Instant::now().add_seconds(86400).value()},
                               task()).ok());
  for (const auto& s : engine->list()) ASSERT_TRUE(s.next_run_at.has_value()) << s.id;
  close();

  engine = open();
  auto all = engine->list();
  ASSERT_EQ(all.size(), 3u);
  for (const auto& s : all) {
    EXPECT_EQ(s.state, TimerState::kOrphaned) << s.id;
    EXPECT_FALSE(s.next_run_at.has_value()) << s.id;
    EXPECT_FALSE(s.fn_name.has_value()) << s.id;
  }
  EXPECT_EQ(engine->due_entry_count(), 0u);

  // Binding again appends nothing for an unchanged definition.
  const size_t lines = log_tags(dir.path()).size();
  ASSERT_TRUE(engine->schedule("every", EverySchedule{3600}, task()).ok());
  EXPECT_EQ(log_tags(dir.path()).size(), lines);
  EXPECT_EQ(status("every").state, TimerState::kScheduled);
  EXPECT_TRUE(status("every").next_run_at.has_value());
}

struct TornCase {
  const char* name;
  bool timer_before;     // a complete entry precedes the damage
  std::string (*damage)(const std::string& log);
};

class TornTailTest : public EngineTest, public ::testing::WithParamInterface<TornCase> {};

TEST_P(TornTailTest, NextAppendStartsItsOwnLine) {
  if (GetParam().timer_before) {
    engine = open();
    ASSERT_TRUE(engine->schedule("a", EverySchedule{60}, task()).ok());
    close();
  }
  const std::string path = dir.file("quor.aof");
  write_file(path, GetParam().damage(read_file(path)));

  ::testing::internal::CaptureStderr();
  engine = open();
  ASSERT_TRUE(engine);
  ASSERT_TRUE(engine->schedule("b", EverySchedule{60}, task()).ok());
  close();
  engine = open();
  ASSERT_TRUE(engine);
  ::testing::internal::GetCapturedStderr();

  std::vector<std::string> ids;
  for (const auto& s : engine->list()) ids.push_back(s.id);
  EXPECT_EQ(ids, GetParam().timer_before ? (std::vector<std::string>{"a", "b"})
                                         : (std::vector<std::string>{"b"}));
  const std::string content = read_file(path);
  ASSERT_FALSE(content.empty());
  EXPECT_EQ(content.back(), '\n');
  EXPECT_EQ(content.find("\"ts\":\"20\n"), std::string::npos) << "torn bytes remain";
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(log_tags(dir.path()).size(), ids.size());
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "") << "no warning on the repaired log";
}

std::string add_torn_line(const std::string& log) { return log + "{\"v\":1,\"ts\":\"20"; }
std::string drop_final_newline(const std::string& log) { return log.substr(0, log.size() - 1); }

INSTANTIATE_TEST_SUITE_P(
    Damage, TornTailTest,
    ::testing::Values(TornCase{"TornAfterEntry", true, add_torn_line},
                      TornCase{"TornOnly", false, add_torn_line},
                      TornCase{"NoFinalNewline", true, drop_final_newline}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- compaction ----

TEST_F(EngineTest, CompactionKeepsEveryTimerAcrossReopen) {
  start();
  ASSERT_TRUE(engine->schedule("a", EverySchedule{3600}, task()).ok());
  ASSERT_TRUE(engine->compact().ok());
  EXPECT_TRUE(log_tags(dir.path()).empty());
  ASSERT_TRUE(engine->schedule("b", EverySchedule{3600}, task()).ok());
  EXPECT_EQ(log_tags(dir.path()), (Tags{"TIMER_CREATED"}));
  close();
  engine = open();
  EXPECT_EQ(engine->list().size(), 2u);
}

struct CompactCase {
  const char* name;
  std::string file;
  int nth;
  int flags;
  bool stops;
};

class CompactFailureTest : public EngineTest, public ::testing::WithParamInterface<CompactCase> {};

TEST_P(CompactFailureTest, ErrorIsReturnedAndNothingAcknowledgedIsLost) {
  const CompactCase& c = GetParam();
  start();
  ASSERT_TRUE(engine->schedule("a", EverySchedule{3600}, task()).ok());
  fs.fail(FaultFs::Op::kOpen, c.file, c.nth, c.flags);
  auto r = engine->compact();
  ASSERT_TRUE(fs.fired());
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), ErrorKind::kLogIo);

  auto b = engine->schedule("b", EverySchedule{3600}, task());
  if (c.stops) {
    ASSERT_FALSE(b.ok()) << "accepted";
    EXPECT_EQ(b.error().message(), "engine has already been shut down");
    EXPECT_TRUE(engine->shutdown(nanoseconds(0)).ok());
  } else {
    ASSERT_TRUE(b.ok()) << b.error().message();
  }
  close();
  engine = open();
  ASSERT_TRUE(engine);
  std::vector<std::string> ids;
  for (const auto& s : engine->list()) ids.push_back(s.id);
  const std::vector<std::string> want = c.stops ? std::vector<std::string>{"a"}
                                                : std::vector<std::string>{"a", "b"};
  EXPECT_EQ(ids, want);
}

INSTANTIATE_TEST_SUITE_P(
    Stages, CompactFailureTest,
    ::testing::Values(CompactCase{"FirstSnapshot", "quor.snapshot.tmp", 1, 0, false},
                      CompactCase{"NewLog", "quor.aof", 1, O_TRUNC, true},
                      CompactCase{"SecondSnapshot", "quor.snapshot.tmp", 2, 0, true},
                      CompactCase{"Reopen", "quor.aof", 1, O_APPEND, true}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- background ----

TEST_F(EngineTest, StopBackgroundEndsTheLoopWithoutClosing) {
  start();
  engine->stop_background();
  engine->stop_background();  // idempotent
  ASSERT_TRUE(engine->schedule("t", EverySchedule{3600}, task()).ok());
  EXPECT_TRUE(engine->shutdown(kDeadline).ok());
}

TEST_F(EngineTest, EngineDropsWhileACallHangs) {
  start();
  auto t = task({Step::hang_ok()});
  ASSERT_TRUE(engine->schedule("t", EverySchedule{0}, t).ok());
  ASSERT_TRUE(t->wait_running(1));
  auto core = EngineTestAccess::core(*engine);
  engine.reset();  // joins the loop; the run keeps its own reference
  t->release();
  ASSERT_TRUE(eventually([&] { return core.use_count() == 1; }));
  MutexLock lk(core->mu);
  EXPECT_EQ(core->in_flight, 0u);
}

}  // namespace
}  // namespace quor
