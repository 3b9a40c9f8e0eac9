// Log line and snapshot codecs: exact bytes and key orders, round trips,
// lenient reading (key order, extra keys, tags anywhere) and the record
// error messages with their classes.
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/storage/record.h"

namespace quor {
namespace {

Instant at(int64_t unix_seconds, uint32_t nanos = 0) {
  return Instant::from_unix(unix_seconds, nanos).value();
}

// 2026-03-01T08:00:00Z
constexpr int64_t kMarch1 = 1772352000;

TimerSpec report_spec() {
  return TimerSpec{"report", EverySchedule{300}, RetryPolicy{3, FixedBackoff{10}}, "UTC",
                   at(kMarch1, 250'000'000)};
}

LogEntry entry(Event e, Instant ts = at(kMarch1, 250'000'000)) {
  return LogEntry{1, ts, std::move(e)};
}

// One entry per event variant, each with the line it must produce.
struct Sample {
  LogEntry entry;
  std::string line;
};

std::vector<Sample> samples() {
  const std::string ts = R"({"v":1,"ts":"2026-03-01T08:00:00.250Z","event":)";
  const std::string spec =
      R"({"id":"report","schedule":{"kind":"every","seconds":300},"retry":{"max_attempts":3,)"
      R"("backoff":{"kind":"fixed","seconds":10}},"timezone":"UTC","created_at":"2026-03-01T08:00:00.250Z"})";
  const Instant t = at(kMarch1 + 60);
  const std::string tt = "\"2026-03-01T08:01:00Z\"";
  return {
      {entry(TimerCreated{report_spec()}), ts + R"({"type":"TIMER_CREATED","spec":)" + spec + "}}"},
      {entry(TimerUpdated{report_spec()}), ts + R"({"type":"TIMER_UPDATED","spec":)" + spec + "}}"},
      {entry(TimerPaused{"report", t}),
       ts + R"({"type":"TIMER_PAUSED","timer_id":"report","at":)" + tt + "}}"},
      {entry(TimerResumed{"report", t}),
       ts + R"({"type":"TIMER_RESUMED","timer_id":"report","at":)" + tt + "}}"},
      {entry(TimerCancelled{"report", t}),
       ts + R"({"type":"TIMER_CANCELLED","timer_id":"report","at":)" + tt + "}}"},
      {entry(RunDue{"report", "run_1", t}),
       ts + R"({"type":"RUN_DUE","timer_id":"report","run_id":"run_1","scheduled_at":)" + tt +
           "}}"},
      {entry(RunStarted{"report", "run_1", t, 1}),
       ts + R"({"type":"RUN_STARTED","timer_id":"report","run_id":"run_1","started_at":)" + tt +
           R"(,"attempt":1}})"},
      {entry(RunSucceeded{"report", "run_1", t, 1234}),
       ts + R"({"type":"RUN_SUCCEEDED","timer_id":"report","run_id":"run_1","finished_at":)" +
           tt + R"(,"duration_ms":1234}})"},
      {entry(RunFailed{"report", "run_1", t, "ValueError: bad \"x\"\n\tat line 2", 2}),
       ts + R"({"type":"RUN_FAILED","timer_id":"report","run_id":"run_1","finished_at":)" + tt +
           R"(,"error":"ValueError: bad \"x\"\n\tat line 2","attempt":2}})"},
      {entry(RunRetrying{"report", "run_1", 3, t}),
       ts + R"({"type":"RUN_RETRYING","timer_id":"report","run_id":"run_1","attempt":3,)"
            R"("next_retry_at":)" +
           tt + "}}"},
      {entry(RunDead{"report", "run_1", t}),
       ts + R"({"type":"RUN_DEAD","timer_id":"report","run_id":"run_1","at":)" + tt + "}}"},
  };
}

TEST(LogLine, ExampleLineByteForByte) {
  const std::string expected =
      R"({"v":1,"ts":"2026-03-01T08:00:00.250Z","event":{"type":"TIMER_CREATED","spec":{"id":"report","schedule":{"kind":"every","seconds":300},"retry":{"max_attempts":3,"backoff":{"kind":"fixed","seconds":10}},"timezone":"UTC","created_at":"2026-03-01T08:00:00.250Z"}}})";
  const LogEntry e = entry(TimerCreated{report_spec()});
  EXPECT_EQ(encode_log_line(e), expected);
  auto back = parse_log_line(expected);
  ASSERT_TRUE(back.ok()) << back.error().message;
  EXPECT_EQ(*back, e);
}

TEST(LogLine, EveryVariantKeyOrderAndRoundTrip) {
  const auto all = samples();
  ASSERT_EQ(all.size(), std::variant_size_v<Event>);
  for (size_t i = 0; i < all.size(); ++i) {
    const Sample& s = all[i];
    ASSERT_EQ(s.entry.event.index(), i);
    EXPECT_EQ(encode_log_line(s.entry), s.line);
    // The generic value has the same keys and values in the same order.
    EXPECT_EQ(json::to_compact(log_entry_to_json(s.entry)), s.line);
    auto back = parse_log_line(s.line);
    ASSERT_TRUE(back.ok()) << back.error().message;
    EXPECT_EQ(*back, s.entry) << s.line;
  }
  // encode appends.
  std::string out = "x";
  encode_log_line(all[0].entry, &out);
  EXPECT_EQ(out, "x" + all[0].line);
}

TEST(LogLine, EverySheduleAndBackoffRoundTrips) {
  const Instant t = at(kMarch1, 1);
  const Schedule schedules[] = {CronSchedule{"*/5 9-17 * * MON-FRI"}, EverySchedule{86400},
                                AtSchedule{t}, AfterSchedule{90, at(kMarch1)}};
  const BackoffStrategy backoffs[] = {FixedBackoff{0}, ExponentialBackoff{30, 3600},
                                      LinearBackoff{5, 7, UINT64_MAX}};
  const std::string schedule_texts[] = {
      R"({"kind":"cron","expr":"*/5 9-17 * * MON-FRI"})",
      R"({"kind":"every","seconds":86400})",
      R"({"kind":"at","at":"2026-03-01T08:00:00.000000001Z"})",
      R"({"kind":"after","seconds":90,"registered_at":"2026-03-01T08:00:00Z"})"};
  const std::string backoff_texts[] = {
      R"({"kind":"fixed","seconds":0})",
      R"({"kind":"exponential","base_seconds":30,"max_seconds":3600})",
      R"({"kind":"linear","base_seconds":5,"step_seconds":7,"max_seconds":18446744073709551615})"};
  for (int s = 0; s < 4; ++s) {
    for (int b = 0; b < 3; ++b) {
      TimerSpec spec{"t\xc3\xa9", schedules[s], RetryPolicy{UINT32_MAX, backoffs[b]},
                     "Europe/Paris", at(kMarch1)};
      const LogEntry e = entry(TimerUpdated{spec});
      const std::string line = encode_log_line(e);
      EXPECT_NE(line.find(schedule_texts[s]), std::string::npos) << line;
      EXPECT_NE(line.find(backoff_texts[b]), std::string::npos) << line;
      EXPECT_NE(line.find("\"max_attempts\":4294967295"), std::string::npos) << line;
      auto back = parse_log_line(line);
      ASSERT_TRUE(back.ok()) << back.error().message;
      EXPECT_EQ(*back, e);
    }
  }
}

TEST(LogLine, InstantForms) {
  struct Case {
    Instant t;
    const char* text;
  };
  const Case cases[] = {
      {at(kMarch1), "2026-03-01T08:00:00Z"},
      {at(kMarch1, 250'000'000), "2026-03-01T08:00:00.250Z"},
      {at(kMarch1, 250'001'000), "2026-03-01T08:00:00.250001Z"},
      {at(kMarch1, 123'000), "2026-03-01T08:00:00.000123Z"},
      {at(kMarch1, 7), "2026-03-01T08:00:00.000000007Z"},
      {at(kMarch1 + 59, 1'000'000'000), "2026-03-01T08:00:60Z"},  // leap second
      {at(kMarch1 + 59, 1'500'000'000), "2026-03-01T08:00:60.500Z"},
      {at(0), "1970-01-01T00:00:00Z"},
      {at(-62167219200), "0000-01-01T00:00:00Z"},
      {at(-62198755200), "-0001-01-01T00:00:00Z"},
      {at(253402300800), "+10000-01-01T00:00:00Z"},
      {Instant::max(), "+262143-12-31T23:59:59.999999999Z"},
      {Instant::min(), "-262144-01-01T00:00:00Z"},
  };
  for (const Case& c : cases) {
    const LogEntry e = entry(TimerPaused{"x", c.t}, c.t);
    const std::string line = encode_log_line(e);
    const std::string quoted = std::string("\"") + c.text + "\"";
    EXPECT_EQ(line, R"({"v":1,"ts":)" + quoted + R"(,"event":{"type":"TIMER_PAUSED","timer_id":"x","at":)" +
                        quoted + "}}");
    EXPECT_EQ(c.t.to_rfc3339_z(), c.text);
    auto back = parse_log_line(line);
    ASSERT_TRUE(back.ok()) << back.error().message;
    EXPECT_EQ(*back, e) << c.text;
  }
}

TEST(LogLine, InstantsMatchTheInstantWriterAcrossTheRange) {
  std::mt19937_64 rng(7);
  const int64_t lo = Instant::min().unix_seconds(), hi = Instant::max().unix_seconds();
  const uint32_t fractions[] = {0, 1, 999'999'999, 250'000'000, 250'001'000, 123'456'789};
  for (int i = 0; i < 20000; ++i) {
    int64_t s = lo + static_cast<int64_t>(rng() % static_cast<uint64_t>(hi - lo));
    if (i % 2) s = -100000000000 + static_cast<int64_t>(rng() % 400000000000);  // near today
    uint32_t ns = i % 3 ? fractions[rng() % 6] : static_cast<uint32_t>(rng() % 1'000'000'000);
    if (i % 10 == 0) {
      s = s - s % 60 + 59;  // a leap second extends second 59
      ns += 1'000'000'000;
    }
    auto t = Instant::from_unix(s, ns);
    if (!t) continue;
    const LogEntry e = entry(RunDead{"t", "r", *t}, *t);
    const std::string line = encode_log_line(e);
    const std::string text = t->to_rfc3339_z();
    ASSERT_EQ(line, R"({"v":1,"ts":")" + text + R"(","event":{"type":"RUN_DEAD","timer_id":"t","run_id":"r","at":")" +
                        text + "\"}}");
    auto back = parse_log_line(line);
    ASSERT_TRUE(back.ok()) << back.error().message;
    ASSERT_EQ(*back, e) << text;
  }
}

TEST(LogLine, ReadsAnyKeyOrderExtraKeysAndLateTags) {
  const LogEntry expected = entry(RunFailed{"report", "run_1", at(kMarch1 + 60), "boom", 2});
  const char* lines[] = {
      // Keys reversed at every level, the tag last.
      R"({"event":{"attempt":2,"error":"boom","finished_at":"2026-03-01T08:01:00Z","run_id":"run_1","timer_id":"report","type":"RUN_FAILED"},"ts":"2026-03-01T08:00:00.250Z","v":1})",
      // Extra keys of every kind, including keys another variant would use.
      R"({"v":1,"x":{"a":[1,{"b":null}]},"ts":"2026-03-01T08:00:00.250Z","event":{"type":"RUN_FAILED","timer_id":"report","spec":[],"run_id":"run_1","finished_at":"2026-03-01T08:01:00Z","error":"boom","duration_ms":"n/a","attempt":2},"zz":-1.5e3})",
      // Whitespace, escapes in keys and values, another offset.
      " { \"v\" : 1 , \"ts\" : \"2026-03-01T09:00:00.250+01:00\" , \"event\" : { \"\\u0074ype\" : "
      "\"RUN_FAILED\" , \"timer_id\" : \"rep\\u006frt\" , \"run_id\":\"run_1\", \"finished_at\":"
      "\"2026-03-01t08:01:00z\",\"error\":\"boom\",\"attempt\":2 } } ",
  };
  for (const char* line : lines) {
    auto r = parse_log_line(line);
    ASSERT_TRUE(r.ok()) << line << "\n" << r.error().message;
    EXPECT_EQ(*r, expected) << line;
  }
  // A tag in the middle of a nested record.
  auto r = parse_log_line(
      R"({"v":7,"ts":"2026-03-01T08:00:00.250Z","event":{"spec":{"id":"report","schedule":{"seconds":300,"kind":"every"},"retry":{"backoff":{"seconds":10,"kind":"fixed"},"max_attempts":3},"timezone":"UTC","created_at":"2026-03-01T08:00:00.250Z"},"type":"TIMER_CREATED"}})");
  ASSERT_TRUE(r.ok()) << r.error().message;
  LogEntry created = entry(TimerCreated{report_spec()});
  created.v = 7;  // read as given, with no other effect
  EXPECT_EQ(*r, created);
}

struct LineError {
  std::string line;
  std::string message;  // with the position suffix
  bool eof = false;
};

void check_line_errors(const std::vector<LineError>& cases) {
  for (const LineError& c : cases) {
    auto r = parse_log_line(c.line);
    ASSERT_FALSE(r.ok()) << c.line;
    EXPECT_EQ(r.error().message, c.message) << c.line;
    EXPECT_EQ(r.error().is_eof(), c.eof) << c.line;
    EXPECT_EQ(r.error().line, 1u);
  }
}

TEST(LogLine, RecordErrors) {
  const std::string ts = R"("ts":"2026-03-01T08:00:00Z")";
  const std::string pause = R"("event":{"type":"TIMER_PAUSED","timer_id":"a","at":"2026-03-01T08:00:00Z"})";
  check_line_errors({
      {R"({"v":1,"v":1,)" + ts + "," + pause + "}", "duplicate field `v` at line 1 column 8"},
      {R"({"v":1,)" + ts + R"(,"event":{"type":"RUN_DEAD","type":"RUN_DEAD"}})",
       "duplicate field `type` at line 1 column 63"},
      {R"({"v":1,)" + ts + R"(,"event":{"timer_id":"a","type":"RUN_DEAD","type":"RUN_DEAD"}})",
       "duplicate field `type` at line 1 column 78"},
      {R"({"v":1,)" + ts + R"(,"event":{"type":"TIMER_PAUSED","timer_id":"a","timer_id":"b"}})",
       "duplicate field `timer_id` at line 1 column 82"},
      {"{" + ts + "," + pause + "}", "missing field `v` at line 1 column 104"},
      {R"({"v":1,)" + pause + "}", "missing field `ts` at line 1 column 82"},
      {R"({"v":1,)" + ts + "}", "missing field `event` at line 1 column 35"},
      {R"({"v":1,)" + ts + R"(,"event":{}})", "missing field `type` at line 1 column 45"},
      {R"({"v":1,)" + ts + R"(,"event":{"timer_id":"a"}})", "missing field `type` at line 1 column 59"},
      {R"({"v":1,)" + ts + R"(,"event":{"type":"RUN_STARTED","timer_id":"a","run_id":"r","started_at":"2026-03-01T08:00:00Z"}})",
       "missing field `attempt` at line 1 column 129"},
      {R"({"v":1,)" + ts + R"(,"event":{"type":"RUN_FAILED","attempt":1}})",
       "missing field `timer_id` at line 1 column 76"},
      {R"({"v":1,)" + ts + R"(,"event":{"type":"TIMER_EXPLODED"}})",
       "unknown variant `TIMER_EXPLODED`, expected one of `TIMER_CREATED`, `TIMER_UPDATED`, "
       "`TIMER_PAUSED`, `TIMER_RESUMED`, `TIMER_CANCELLED`, `RUN_DUE`, `RUN_STARTED`, "
       "`RUN_SUCCEEDED`, `RUN_FAILED`, `RUN_RETRYING`, `RUN_DEAD` at line 1 column 52"},
      {R"({"v":1,)" + ts + R"(,"event":{"type":"timer_paused"}})",
       "unknown variant `timer_paused`, expected one of `TIMER_CREATED`, `TIMER_UPDATED`, "
       "`TIMER_PAUSED`, `TIMER_RESUMED`, `TIMER_CANCELLED`, `RUN_DUE`, `RUN_STARTED`, "
       "`RUN_SUCCEEDED`, `RUN_FAILED`, `RUN_RETRYING`, `RUN_DEAD` at line 1 column 52"},
      {R"({"v":1,)" + ts + R"(,"event":{"type":"TIMER_CREATED","spec":{"id":"a","schedule":{"kind":"hourly"}}}})",
       "unknown variant `hourly`, expected one of `cron`, `every`, `at`, `after` at line 1 column 104"},
      {R"({"v":1,)" + ts + R"(,"event":{"type":"TIMER_CREATED","spec":{"id":"a","schedule":{"kind":"every","seconds":1},"retry":{"max_attempts":1,"backoff":{"kind":"random"}}}}})",
       "unknown variant `random`, expected one of `fixed`, `exponential`, `linear` at line 1 column 169"},
      {R"({"v":300,)" + ts + "," + pause + "}", "invalid value: integer `300`, expected u8 at line 1 column 6"},
      {R"({"v":-1,)" + ts + "," + pause + "}", "invalid value: integer `-1`, expected u8 at line 1 column 6"},
      {R"({"v":1.5,)" + ts + "," + pause + "}", "invalid type: floating point `1.5`, expected u8 at line 1 column 6"},
      {R"({"v":1.0,)" + ts + "," + pause + "}", "invalid type: floating point `1.0`, expected u8 at line 1 column 6"},
      {R"({"v":1e0,)" + ts + "," + pause + "}", "invalid type: floating point `1.0`, expected u8 at line 1 column 6"},
      {R"({"v":"1",)" + ts + "," + pause + "}", "invalid type: string \"1\", expected u8 at line 1 column 6"},
      {R"({"v":true,)" + ts + "," + pause + "}", "invalid type: boolean `true`, expected u8 at line 1 column 6"},
      {R"({"v":null,)" + ts + "," + pause + "}", "invalid type: null, expected u8 at line 1 column 6"},
      {R"({"v":[],)" + ts + "," + pause + "}", "invalid type: sequence, expected u8 at line 1 column 6"},
      {R"({"v":{},)" + ts + "," + pause + "}", "invalid type: map, expected u8 at line 1 column 6"},
      {"[1]", "invalid type: sequence, expected struct LogEntry at line 1 column 1"},
      {"\"x\"", "invalid type: string \"x\", expected struct LogEntry at line 1 column 1"},
      {R"({"v":1,)" + ts + R"(,"event":"TIMER_PAUSED"})",
       "invalid type: string \"TIMER_PAUSED\", expected internally tagged enum Event at line 1 column 44"},
      {R"({"v":1,)" + ts + R"(,"event":{"type":5}})",
       "invalid type: integer `5`, expected a variant name at line 1 column 52"},
      {R"({"v":1,)" + ts + R"(,"event":{"type":"TIMER_PAUSED","timer_id":7,"at":"2026-03-01T08:00:00Z"}})",
       "invalid type: integer `7`, expected a string at line 1 column 78"},
      {R"({"v":"a\"\n",)" + ts + "," + pause + "}",
       "invalid type: string \"a\\\"\\n\", expected u8 at line 1 column 6"},
      {R"({"v":1,)" + ts + R"(,"event":{"type":"RUN_STARTED","timer_id":"a","run_id":"r","started_at":"2026-03-01T08:00:00Z","attempt":4294967296}})",
       "invalid value: integer `4294967296`, expected u32 at line 1 column 140"},
      {R"({"v":1,)" + ts + R"(,"event":{"type":"RUN_SUCCEEDED","timer_id":"a","run_id":"r","finished_at":"2026-03-01T08:00:00Z","duration_ms":18446744073709551616}})",
       "invalid value: integer `18446744073709551616`, expected u64 at line 1 column 147"},
      {R"({"v":1,)" + ts + R"(,"event":{"type":"RUN_SUCCEEDED","timer_id":"a","run_id":"r","finished_at":"2026-03-01T08:00:00Z","duration_ms":-5}})",
       "invalid value: integer `-5`, expected u64 at line 1 column 147"},
      // Instants carry the date-time reader's own message.
      {R"({"v":1,"ts":"2026-03-01 08:00:00X",)" + pause + "}",
       "input contains invalid characters at line 1 column 13"},
      {R"({"v":1,"ts":"2026-03-01",)" + pause + "}", "premature end of input at line 1 column 13"},
      {R"({"v":1,"ts":"2026-02-30T08:00:00Z",)" + pause + "}",
       "no possible date and time matching input at line 1 column 13"},
      {R"({"v":1,"ts":1772352000,)" + pause + "}",
       "invalid type: integer `1772352000`, expected an RFC 3339 date-time string at line 1 column 13"},
      // JSON errors.
      {R"({"v":1,)" + ts + "," + pause + "} {}", "trailing characters at line 1 column 112"},
      {R"({"v":1,)" + ts + "," + pause + std::string("}\0", 2), "trailing characters at line 1 column 111"},
      {std::string(3, '\0'), "expected value at line 1 column 1"},
      // A record error followed by bad JSON reports the JSON error.
      {R"({"v":300,"ts":tru})", "expected `true` at line 1 column 15"},
  });
}

TEST(LogLine, EveryTruncationIsAnEndOfInputError) {
  for (const Sample& s : samples()) {
    for (size_t n = 0; n < s.line.size(); ++n) {
      auto r = parse_log_line(std::string_view(s.line).substr(0, n));
      ASSERT_FALSE(r.ok()) << n;
      EXPECT_TRUE(r.error().is_eof()) << s.line.substr(0, n) << "\n" << r.error().message;
      EXPECT_EQ(r.error().line, 1u);
      EXPECT_EQ(r.error().column, n + 1);
    }
  }
  // Even when a record error comes earlier in the cut text.
  check_line_errors({
      {R"({"v":"1","ts":"2026-03)", "EOF while parsing a string at line 1 column 23", true},
      {R"({"v":1,"ts":"2026-03-01T08:00:00Z","event":{"type":"NOPE","timer_id":"a)",
       "EOF while parsing a string at line 1 column 72", true},
      {R"({"v":1,"ts":"2026-03-01T08:00:00Z","event":{"timer_id":"a","at":"2026-03-01T08:00:00Z")",
       "EOF while parsing an object at line 1 column 87", true},
  });
}

TEST(LogLine, DeepUnknownValuesHitTheNestingLimit) {
  std::string deep = R"({"v":1,"x":)" + std::string(128, '[') + std::string(128, ']') + "}";
  auto r = parse_log_line(deep);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message, "recursion limit exceeded at line 1 column 139");
  EXPECT_FALSE(r.error().is_eof());
}

// ---- Snapshots ----

EngineState sample_state() {
  EngineState st;
  st.specs["report"] = report_spec();
  st.specs["nightly"] = TimerSpec{"nightly", CronSchedule{"0 3 * * *"},
                                  RetryPolicy{5, LinearBackoff{1, 2, 3}}, "Europe/Berlin",
                                  at(kMarch1)};
  st.states["report"] = TimerState::kRetrying;
  st.states["nightly"] = TimerState::kPaused;
  st.states["gone"] = TimerState::kCancelled;
  st.bindings["report"] = "mod.report";
  st.last_runs["report"] = LastRunInfo{"run_a", at(kMarch1 + 5), std::nullopt, "FAILED: E: x\ny"};
  st.last_runs["nightly"] = LastRunInfo{"run_b", at(kMarch1 + 9, 1000), 42, "OK"};
  st.next_runs["nightly"] = at(kMarch1 + 86400);
  st.retries_7d["report"] = 4;
  st.pending_retries["report"] = PendingRetry{"run_a", at(kMarch1 + 35), 2};
  return st;
}

TEST(SnapshotText, EmptyStateLayout) {
  Snapshot s = build_snapshot(EngineState{}, 42);
  s.created_at = at(kMarch1);
  EXPECT_EQ(encode_snapshot(s),
            "{\n"
            "  \"v\": 1,\n"
            "  \"format_version\": 1,\n"
            "  \"engine_version\": \"0.1.1\",\n"
            "  \"created_at\": \"2026-03-01T08:00:00Z\",\n"
            "  \"last_aof_offset\": 42,\n"
            "  \"specs\": {},\n"
            "  \"states\": {},\n"
            "  \"last_runs\": {},\n"
            "  \"next_runs\": {},\n"
            "  \"retries_7d\": {},\n"
            "  \"pending_retries\": {}\n"
            "}");
}

TEST(SnapshotText, NestedRecordLayout) {
  Snapshot s = build_snapshot(EngineState{}, 0);
  s.created_at = at(kMarch1);
  s.state.specs["report"] = report_spec();
  s.state.states["report"] = TimerState::kScheduled;
  s.state.last_runs["report"] = LastRunInfo{"run_a", at(kMarch1), std::nullopt, "DEAD"};
  const std::string text = encode_snapshot(s);
  EXPECT_NE(text.find("  \"specs\": {\n"
                      "    \"report\": {\n"
                      "      \"id\": \"report\",\n"
                      "      \"schedule\": {\n"
                      "        \"kind\": \"every\",\n"
                      "        \"seconds\": 300\n"
                      "      },\n"
                      "      \"retry\": {\n"
                      "        \"max_attempts\": 3,\n"
                      "        \"backoff\": {\n"
                      "          \"kind\": \"fixed\",\n"
                      "          \"seconds\": 10\n"
                      "        }\n"
                      "      },\n"
                      "      \"timezone\": \"UTC\",\n"
                      "      \"created_at\": \"2026-03-01T08:00:00.250Z\"\n"
                      "    }\n"
                      "  },\n"
                      "  \"states\": {\n"
                      "    \"report\": \"Scheduled\"\n"
                      "  },\n"
                      "  \"last_runs\": {\n"
                      "    \"report\": {\n"
                      "      \"run_id\": \"run_a\",\n"
                      "      \"finished_at\": \"2026-03-01T08:00:00Z\",\n"
                      "      \"duration_ms\": null,\n"
                      "      \"status\": \"DEAD\"\n"
                      "    }\n"
                      "  },\n"),
            std::string::npos)
      << text;
}

TEST(SnapshotText, RoundTripDropsBindings) {
  const EngineState st = sample_state();
  const Snapshot s = build_snapshot(st, 987654321);
  EXPECT_TRUE(s.state.bindings.empty());
  EXPECT_EQ(s.last_aof_offset, 987654321u);
  EXPECT_EQ(s.engine_version, "0.1.1");
  const std::string text = encode_snapshot(s);
  auto back = decode_snapshot(text + "\n");
  ASSERT_TRUE(back.ok()) << back.error().message;
  EXPECT_EQ(*back, s);
  EngineState without_bindings = st;
  without_bindings.bindings.clear();
  EXPECT_EQ(back->state, without_bindings);
}

std::string snapshot_text(const std::string& last_runs, const std::string& states = "{}",
                          const std::string& v = "1") {
  return "{\n  \"v\": " + v +
         ",\n  \"format_version\": 0,\n  \"engine_version\": \"9.9\",\n"
         "  \"created_at\": \"2026-03-01T08:00:00Z\",\n  \"last_aof_offset\": 7,\n"
         "  \"specs\": {},\n  \"states\": " +
         states + ",\n  \"last_runs\": " + last_runs +
         ",\n  \"next_runs\": {},\n  \"retries_7d\": {},\n  \"pending_retries\": {}\n}\n";
}

TEST(SnapshotText, LenientReading) {
  // "duration_ms" missing or null means no duration; versions are not checked here.
  auto r = decode_snapshot(snapshot_text(
      R"({"a": {"run_id": "r", "finished_at": "2026-03-01T08:00:00Z", "status": "DEAD"},)"
      R"( "b": {"run_id": "r", "finished_at": "2026-03-01T08:00:00Z", "duration_ms": null, "status": "DEAD"},)"
      R"( "c": {"status": "OK", "duration_ms": 5, "finished_at": "2026-03-01T08:00:00Z", "run_id": "r", "extra": 1}})"));
  ASSERT_TRUE(r.ok()) << r.error().message;
  EXPECT_EQ(r->format_version, 0);
  EXPECT_EQ(r->engine_version, "9.9");
  EXPECT_EQ(r->last_aof_offset, 7u);
  EXPECT_EQ(r->state.last_runs.at("a").duration_ms, std::nullopt);
  EXPECT_EQ(r->state.last_runs.at("b").duration_ms, std::nullopt);
  EXPECT_EQ(r->state.last_runs.at("c").duration_ms, 5u);
  EXPECT_EQ(r->state.last_runs.at("c").status, "OK");
}

TEST(SnapshotText, ErrorsNameTheLineInTheFile) {
  struct Case {
    std::string text;
    std::string message;
    bool eof;
  };
  const Case cases[] = {
      {snapshot_text("{}", R"({"a": "paused"})"),
       "unknown variant `paused`, expected one of `Scheduled`, `Running`, `Retrying`, `Dead`, "
       "`Orphaned`, `Paused`, `Cancelled` at line 8 column 19",
       false},
      {snapshot_text(R"({"a": {"run_id": "r", "finished_at": "2026-03-01T08:00:00Z", "duration_ms": "5", "status": "OK"}})"),
       "invalid type: string \"5\", expected u64 at line 9 column 92", false},
      {snapshot_text(R"({"a": {"run_id": "r", "duration_ms": 1, "status": "OK"}})"),
       "missing field `finished_at` at line 9 column 70", false},
      {snapshot_text(R"({"a": {"run_id": "r", "finished_at": "2026-03-01T08:00:00Z", "duration_ms": 1}})"),
       "missing field `status` at line 9 column 93", false},
      {snapshot_text("{}", R"({"a": "Paused", "a": "Dead"})"),
       "duplicate key `a` at line 8 column 29", false},
      {snapshot_text("[]"), "invalid type: sequence, expected a map at line 9 column 16", false},
      {"{\n  \"v\": 1\n}", "missing field `format_version` at line 3 column 1", false},
      {snapshot_text("{}").substr(0, 60), "EOF while parsing an object at line 4 column 26", true},
      {"", "EOF while parsing a value at line 1 column 1", true},
  };
  for (const Case& c : cases) {
    auto r = decode_snapshot(c.text);
    ASSERT_FALSE(r.ok()) << c.text;
    EXPECT_EQ(r.error().message, c.message) << c.text;
    EXPECT_EQ(r.error().is_eof(), c.eof) << c.text;
  }
}

}  // namespace
}  // namespace quor
