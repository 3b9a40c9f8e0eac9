#include "core/schedule/next_fire.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quor {
namespace {

Instant T(const char* text) {
  auto r = Instant::parse_rfc3339(text);
  EXPECT_TRUE(r.ok()) << text;
  return r.ok() ? *r : Instant();
}

std::string show(const std::optional<Instant>& t) { return t ? t->to_rfc3339_z() : "none"; }

std::optional<Instant> fire(const Schedule& s, Instant now, const std::string& zone = "UTC") {
  auto r = next_fire(s, now, zone);
  EXPECT_TRUE(r.ok()) << r.error().message();
  return r.ok() ? *r : std::nullopt;
}

TEST(NextFire, OneShotAndEvery) {
  const Instant noon = T("2024-06-03T12:00:00Z");
  const Instant half = T("2024-06-03T12:00:30.5Z");
  struct Case {
    const char* what;
    Schedule schedule;
    Instant now;
    std::optional<Instant> want;
  };
  const Case cases[] = {
      {"at equal to now", AtSchedule{noon}, noon, std::nullopt},
      {"at 1ns later", AtSchedule{*noon.add_nanos(1)}, noon, *noon.add_nanos(1)},
      {"at in the past", AtSchedule{noon}, half, std::nullopt},
      {"every 60s", EverySchedule{60}, half, T("2024-06-03T12:01:30.5Z")},
      {"every 0s", EverySchedule{0}, half, half},
      {"every at the largest span leaves the range", EverySchedule{Instant::kMaxSpanSeconds}, noon,
       std::nullopt},
      {"every of a huge stored value", EverySchedule{UINT64_MAX}, noon, std::nullopt},
      {"every past the last instant", EverySchedule{1}, Instant::max(), std::nullopt},
      {"after 0s registered now", AfterSchedule{0, noon}, noon, std::nullopt},
      {"after pending", AfterSchedule{10, noon}, T("2024-06-03T12:00:05Z"),
       T("2024-06-03T12:00:10Z")},
      {"after due equals now", AfterSchedule{10, noon}, T("2024-06-03T12:00:10Z"), std::nullopt},
      {"after passed", AfterSchedule{10, noon}, T("2024-06-04T00:00:00Z"), std::nullopt},
      {"after of a huge stored value", AfterSchedule{UINT64_MAX, noon}, noon, std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(show(fire(c.schedule, c.now)), show(c.want)) << c.what;
  }
}

TEST(NextFire, ZoneIsResolvedFirstForEveryVariant) {
  const Instant now = T("2024-06-03T12:00:00Z");
  const Schedule schedules[] = {CronSchedule{"@daily"}, EverySchedule{60},
                                AtSchedule{T("2030-01-01T00:00:00Z")},
                                AfterSchedule{60, now}};
  for (const Schedule& s : schedules) {
    for (const char* zone : {"europe/berlin", "Mars/Base", "localtime"}) {
      auto r = next_fire(s, now, zone);
      ASSERT_FALSE(r.ok());
      EXPECT_EQ(r.error().kind(), ErrorKind::kInvalidTimezone);
      EXPECT_EQ(r.error().message(), std::string("invalid timezone: ") + zone);
    }
  }
}

TEST(NextFire, CronParseErrors) {
  const Instant now = T("2024-06-03T12:00:00Z");
  const std::pair<const char*, const char*> cases[] = {
      {"* * * * * *", "invalid cron expression: Invalid cron expression."},
      {"@daily", "invalid cron expression: Invalid cron expression."},
      {"0 9 * * 0",
       "invalid cron expression: Invalid expression: Days of Week must be greater than or equal "
       "to 1. ('0' specified.)"},
  };
  for (const auto& [expr, message] : cases) {
    auto r = next_fire(CronSchedule{expr}, now, "UTC");
    ASSERT_FALSE(r.ok()) << expr;
    EXPECT_EQ(r.error().kind(), ErrorKind::kInvalidCron);
    EXPECT_EQ(r.error().message(), message);
  }
}

TEST(NextFire, Cron) {
  struct Case {
    const char* expr;
    const char* zone;
    Instant now;
    std::optional<Instant> want;
  };
  const Case cases[] = {
      {"*/15 * * * *", "UTC", T("2024-06-03T10:07:12Z"), T("2024-06-03T10:15:00Z")},
      {"*/15 * * * *", "UTC", T("2024-06-03T10:15:00Z"), T("2024-06-03T10:30:00Z")},
      {"*/15 * * * *", "UTC", T("2024-06-03T10:14:59.999999999Z"), T("2024-06-03T10:15:00Z")},
      {"*/15 * * * *", "UTC", T("2024-06-03T10:15:00.000000001Z"), T("2024-06-03T10:30:00Z")},
      {"0 0 31 2 *", "UTC", T("2024-06-03T10:00:00Z"), std::nullopt},
      {"0 0 31 2 *", "Europe/Berlin", T("1970-01-01T00:00:00Z"), std::nullopt},
      {"0 9 * * 1", "UTC", T("2024-06-03T00:00:00Z"), T("2024-06-09T09:00:00Z")},  // Sunday
      {"0 12 * * mon-fri", "UTC", T("2024-06-07T12:00:00Z"), T("2024-06-10T12:00:00Z")},
      {"0 12 13 * fri", "UTC", T("2024-09-14T00:00:00Z"), T("2024-12-13T12:00:00Z")},
      {"* * * *", "UTC", T("2024-06-03T10:07:12Z"), T("2024-06-03T10:08:00Z")},
      // The zone's wall clock: 09:00 Berlin is 08:00 UTC in winter, 07:00 in summer.
      {"0 9 * * *", "Europe/Berlin", T("2024-01-15T00:00:00Z"), T("2024-01-15T08:00:00Z")},
      {"0 9 * * *", "Europe/Berlin", T("2024-07-15T00:00:00Z"), T("2024-07-15T07:00:00Z")},
      {"0 9 * * *", "Asia/Tokyo", T("2024-07-15T00:00:00Z"), T("2024-07-16T00:00:00Z")},
      {"0 0 * * *", "Asia/Kolkata", T("2024-07-15T00:00:00Z"), T("2024-07-15T18:30:00Z")},
      // Local day boundaries decide the day fields.
      {"0 23 * * sun", "America/New_York", T("2024-06-03T02:00:00Z"), T("2024-06-03T03:00:00Z")},
      // Years 1970 to 2100 in local time.
      {"* * * * *", "UTC", T("2100-12-31T23:58:59Z"), T("2100-12-31T23:59:00Z")},
      {"* * * * *", "UTC", T("2100-12-31T23:59:00Z"), std::nullopt},
      {"* * * * *", "UTC", T("2300-01-01T00:00:00Z"), std::nullopt},
      {"0 0 1 1 *", "America/New_York", T("1960-01-01T00:00:00Z"), T("1970-01-01T05:00:00Z")},
      {"* * * * *", "UTC", Instant::min(), T("1970-01-01T00:00:00Z")},
      {"* * * * *", "Europe/Berlin", Instant::max(), std::nullopt},
      {"* * * * *", "UTC", T("2016-12-31T23:59:60.5Z"), T("2017-01-01T00:00:00Z")},  // leap second
  };
  for (const Case& c : cases) {
    EXPECT_EQ(show(fire(CronSchedule{c.expr}, c.now, c.zone)), show(c.want))
        << c.expr << " in " << c.zone << " after " << c.now.to_rfc3339_z();
  }
}

// Daylight-saving time. Europe/Berlin 2024: 02:00-02:59 skipped on Mar 31
// (01:00Z), repeated on Oct 27 (first pass 00:00Z-00:59Z, second
// 01:00Z-01:59Z). America/New_York 2024: 02:00-02:59 skipped on Mar 10
// (07:00Z), 01:00-01:59 repeated on Nov 3 (05:00Z-05:59Z, 06:00Z-06:59Z).
TEST(NextFire, DaylightSavingSingleSteps) {
  struct Case {
    const char* what;
    const char* expr;
    const char* zone;
    const char* now;
    const char* want;
  };
  const Case cases[] = {
      {"daily in the gap fires at its end", "30 2 * * *", "Europe/Berlin", "2024-03-30T12:00:00Z",
       "2024-03-31T01:00:00Z"},
      {"just before the gap's end", "30 2 * * *", "Europe/Berlin", "2024-03-31T00:59:59.5Z",
       "2024-03-31T01:00:00Z"},
      {"once only", "30 2 * * *", "Europe/Berlin", "2024-03-31T01:00:00Z", "2024-04-01T00:30:00Z"},
      {"hourly meets the gap", "30 * * * *", "Europe/Berlin", "2024-03-31T00:30:00Z",
       "2024-03-31T01:00:00Z"},
      {"hourly after the gap", "30 * * * *", "Europe/Berlin", "2024-03-31T01:00:00Z",
       "2024-03-31T01:30:00Z"},
      {"daily in the fold: first pass", "30 2 * * *", "Europe/Berlin", "2024-10-26T12:00:00Z",
       "2024-10-27T00:30:00Z"},
      {"daily in the fold: not again", "30 2 * * *", "Europe/Berlin", "2024-10-27T00:30:00Z",
       "2024-10-28T01:30:00Z"},
      {"daily, now in the first pass", "30 2 * * *", "Europe/Berlin", "2024-10-27T00:10:00Z",
       "2024-10-27T00:30:00Z"},
      {"daily, now in the second pass", "30 2 * * *", "Europe/Berlin", "2024-10-27T01:10:00Z",
       "2024-10-28T01:30:00Z"},
      {"hourly repeats in the fold", "30 * * * *", "Europe/Berlin", "2024-10-27T00:30:00Z",
       "2024-10-27T01:30:00Z"},
      {"hourly after the fold", "30 * * * *", "Europe/Berlin", "2024-10-27T01:30:00Z",
       "2024-10-27T02:30:00Z"},
      {"hour list does not repeat", "30 1-3 * * *", "Europe/Berlin", "2024-10-27T00:30:00Z",
       "2024-10-27T02:30:00Z"},
      {"daily in the gap", "30 2 * * *", "America/New_York", "2024-03-09T12:00:00Z",
       "2024-03-10T07:00:00Z"},
      {"once only", "30 2 * * *", "America/New_York", "2024-03-10T07:00:00Z",
       "2024-03-11T06:30:00Z"},
      {"daily in the fold", "30 1 * * *", "America/New_York", "2024-11-02T12:00:00Z",
       "2024-11-03T05:30:00Z"},
      {"daily in the fold: not again", "30 1 * * *", "America/New_York", "2024-11-03T05:30:00Z",
       "2024-11-04T06:30:00Z"},
      {"daily, second pass, minute still ahead", "30 1 * * *", "America/New_York",
       "2024-11-03T06:10:00Z", "2024-11-04T06:30:00Z"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(show(fire(CronSchedule{c.expr}, T(c.now), c.zone)), c.want)
        << c.what << ": " << c.expr << " in " << c.zone << " after " << c.now;
  }
}

TEST(NextFire, DaylightSavingChains) {
  struct Case {
    const char* expr;
    const char* zone;
    const char* start;
    std::vector<const char*> fires;  // consecutive next_fire results
  };
  const Case cases[] = {
      {"*/15 * * * *", "Europe/Berlin", "2024-03-31T00:20:00Z",
       {"2024-03-31T00:30:00Z", "2024-03-31T00:45:00Z", "2024-03-31T01:00:00Z",
        "2024-03-31T01:15:00Z", "2024-03-31T01:30:00Z"}},
      {"*/15 * * * *", "Europe/Berlin", "2024-10-26T23:50:00Z",
       {"2024-10-27T00:00:00Z", "2024-10-27T00:15:00Z", "2024-10-27T00:30:00Z",
        "2024-10-27T00:45:00Z", "2024-10-27T01:00:00Z", "2024-10-27T01:15:00Z",
        "2024-10-27T01:30:00Z", "2024-10-27T01:45:00Z", "2024-10-27T02:00:00Z",
        "2024-10-27T02:15:00Z"}},
      {"*/15 * * * *", "America/New_York", "2024-03-10T06:20:00Z",
       {"2024-03-10T06:30:00Z", "2024-03-10T06:45:00Z", "2024-03-10T07:00:00Z",
        "2024-03-10T07:15:00Z"}},
      {"*/15 * * * *", "America/New_York", "2024-11-03T04:50:00Z",
       {"2024-11-03T05:00:00Z", "2024-11-03T05:15:00Z", "2024-11-03T05:30:00Z",
        "2024-11-03T05:45:00Z", "2024-11-03T06:00:00Z", "2024-11-03T06:15:00Z",
        "2024-11-03T06:30:00Z", "2024-11-03T06:45:00Z", "2024-11-03T07:00:00Z",
        "2024-11-03T07:15:00Z"}},
      {"0 2 * * *", "Europe/Berlin", "2024-03-29T12:00:00Z",
       {"2024-03-30T01:00:00Z", "2024-03-31T01:00:00Z", "2024-04-01T00:00:00Z"}},
      {"0 2 * * *", "Europe/Berlin", "2024-10-25T12:00:00Z",
       {"2024-10-26T00:00:00Z", "2024-10-27T00:00:00Z", "2024-10-28T01:00:00Z"}},
  };
  for (const Case& c : cases) {
    Instant now = T(c.start);
    for (const char* want : c.fires) {
      std::optional<Instant> got = fire(CronSchedule{c.expr}, now, c.zone);
      ASSERT_EQ(show(got), want) << c.expr << " in " << c.zone << " after " << now.to_rfc3339_z();
      now = *got;
    }
  }
}

}  // namespace
}  // namespace quor
