#include "core/instant.h"

#include <gtest/gtest.h>
#include <time.h>

#include <cstdint>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace quor {
namespace {

Instant at(int64_t seconds, uint32_t nanos = 0) {
  auto t = Instant::from_unix(seconds, nanos);
  EXPECT_TRUE(t.has_value()) << seconds << "s " << nanos << "ns";
  return t.value_or(Instant());
}

Instant civil(int64_t y, int mo, int d, int h = 0, int mi = 0, int s = 0, uint32_t ns = 0) {
  auto t = Instant::from_civil(CivilTime{y, mo, d, h, mi, s, ns});
  EXPECT_TRUE(t.has_value()) << y << "-" << mo << "-" << d;
  return t.value_or(Instant());
}

Instant parse_ok(const std::string& text) {
  auto r = Instant::parse_rfc3339(text);
  EXPECT_TRUE(r.ok()) << text << ": " << (r.ok() ? "" : r.error());
  return r.ok() ? r.value() : Instant();
}

constexpr int64_t k20260301T0800 = 1772352000;  // 2026-03-01T08:00:00Z
constexpr int64_t kYear10000 = 253402300800;     // +10000-01-01T00:00:00Z

// ---- Writing ----

struct WriteCase {
  int64_t seconds;
  uint32_t nanos;
  const char* z;  // the "Z" form; the "+00:00" form is derived
};

const WriteCase kWriteCases[] = {
    // Fraction rule: none, 3, 6 or 9 digits, leading zeros kept.
    {k20260301T0800, 0, "2026-03-01T08:00:00Z"},
    {k20260301T0800, 250'000'000, "2026-03-01T08:00:00.250Z"},
    {k20260301T0800, 123'000, "2026-03-01T08:00:00.000123Z"},
    {k20260301T0800, 7, "2026-03-01T08:00:00.000000007Z"},
    {k20260301T0800, 1'000'000, "2026-03-01T08:00:00.001Z"},
    {k20260301T0800, 250'001'000, "2026-03-01T08:00:00.250001Z"},
    {k20260301T0800, 250'000'001, "2026-03-01T08:00:00.250000001Z"},
    {k20260301T0800, 999'999'999, "2026-03-01T08:00:00.999999999Z"},
    {k20260301T0800, 1'000, "2026-03-01T08:00:00.000001Z"},
    {1740821400, 0, "2025-03-01T09:30:00Z"},
    {0, 0, "1970-01-01T00:00:00Z"},
    // Before the epoch the fraction still counts forward within the second.
    {-1, 500'000'000, "1969-12-31T23:59:59.500Z"},
    {951827696, 0, "2000-02-29T12:34:56Z"},
    // Leap second: nanos of 1e9 or more show as second 60.
    {1483228799, 1'000'000'000, "2016-12-31T23:59:60Z"},
    {1483228799, 1'500'000'000, "2016-12-31T23:59:60.500Z"},
    {1483228799, 1'000'000'007, "2016-12-31T23:59:60.000000007Z"},
    // Year sign rule: 0..9999 four digits, others signed and padded.
    {-62135596800, 0, "0001-01-01T00:00:00Z"},
    {253402300799, 999'999'999, "9999-12-31T23:59:59.999999999Z"},
    {-62167219200, 0, "0000-01-01T00:00:00Z"},
    {-62167219201, 0, "-0001-12-31T23:59:59Z"},
    {-62198755200, 0, "-0001-01-01T00:00:00Z"},
    {kYear10000, 0, "+10000-01-01T00:00:00Z"},
    {kYear10000 - 1, 0, "9999-12-31T23:59:59Z"},
};

std::string offset_form(const char* z) {
  std::string s(z);
  s.pop_back();
  return s + "+00:00";
}

TEST(InstantWrite, BothFormsForEveryFractionYearAndLeapCase) {
  for (const auto& c : kWriteCases) {
    const Instant t = at(c.seconds, c.nanos);
    EXPECT_EQ(t.to_rfc3339_z(), c.z);
    EXPECT_EQ(t.to_rfc3339_offset(), offset_form(c.z));
  }
}

TEST(InstantWrite, StatusDictionaryExamples) {
  EXPECT_EQ(civil(2025, 3, 1, 9, 30).to_rfc3339_offset(), "2025-03-01T09:30:00+00:00");
  EXPECT_EQ(civil(2025, 3, 1, 9, 30, 0, 250'000'000).to_rfc3339_offset(),
            "2025-03-01T09:30:00.250+00:00");
  EXPECT_EQ(civil(2030, 1, 1, 10).to_rfc3339_offset(), "2030-01-01T10:00:00+00:00");
}

TEST(InstantWrite, RangeEnds) {
  EXPECT_EQ(Instant::min().to_rfc3339_z(), "-262144-01-01T00:00:00Z");
  EXPECT_EQ(Instant::max().to_rfc3339_z(), "+262143-12-31T23:59:59.999999999Z");
  EXPECT_EQ(civil(-12345, 6, 7).to_rfc3339_z(), "-12345-06-07T00:00:00Z");
  EXPECT_EQ(civil(-999, 1, 1).to_rfc3339_z(), "-0999-01-01T00:00:00Z");
}

// ---- Reading ----

TEST(InstantRead, EverythingWrittenReadsBack) {
  for (const auto& c : kWriteCases) {
    const Instant t = at(c.seconds, c.nanos);
    EXPECT_EQ(parse_ok(t.to_rfc3339_z()), t) << c.z;
    EXPECT_EQ(parse_ok(t.to_rfc3339_offset()), t) << c.z;
  }
  EXPECT_EQ(parse_ok(Instant::min().to_rfc3339_z()), Instant::min());
  EXPECT_EQ(parse_ok(Instant::max().to_rfc3339_offset()), Instant::max());
}

// Random instants over the whole range, with each fraction class and leap
// seconds, written in both forms and read back.
TEST(InstantRead, RandomRoundTripsOverTheRange) {
  std::mt19937_64 rng(12345);
  const int64_t lo = Instant::min().unix_seconds();
  const int64_t hi = Instant::max().unix_seconds();
  std::uniform_int_distribution<int64_t> secs(lo, hi);
  std::uniform_int_distribution<int64_t> near(-400LL * 366 * 86400, 10100LL * 366 * 86400);
  for (int i = 0; i < 20000; ++i) {
    int64_t s = (i % 2) ? secs(rng) : near(rng) - 62167219200;
    uint32_t n = static_cast<uint32_t>(rng() % 1'000'000'000);
    switch (i % 4) {
      case 0: n = 0; break;
      case 1: n -= n % 1'000'000; break;
      case 2: n -= n % 1'000; break;
      default: break;
    }
    if (i % 50 == 0) {
      s -= ((s % 60) + 60) % 60 - 59;  // second 59 of its minute
      if (s > hi - 60) s -= 60;
      n += 1'000'000'000;  // leap second
    }
    const Instant t = at(s, n);
    const CivilTime c = t.to_civil();
    EXPECT_EQ(Instant::from_civil(c), t);
    auto z = Instant::parse_rfc3339(t.to_rfc3339_z());
    auto o = Instant::parse_rfc3339(t.to_rfc3339_offset());
    ASSERT_TRUE(z.ok()) << t.to_rfc3339_z() << ": " << z.error();
    ASSERT_TRUE(o.ok()) << t.to_rfc3339_offset() << ": " << o.error();
    ASSERT_EQ(z.value(), t) << t.to_rfc3339_z();
    ASSERT_EQ(o.value(), t) << t.to_rfc3339_offset();
  }
}

TEST(InstantRead, AcceptedVariants) {
  const Instant base = at(k20260301T0800);
  struct Case {
    const char* text;
    Instant want;
  };
  const Case cases[] = {
      {"2026-03-01T08:00:00Z", base},
      {"2026-03-01t08:00:00z", base},
      {"2026-03-01 08:00:00Z", base},
      {"2026-03-01T08:00:00+00:00", base},
      {"2026-03-01T08:00:00-00:00", base},
      {"2026-03-01T13:30:00+05:30", base},
      {"2026-02-28T23:00:00-09:00", base},
      {"2026-03-02T07:59:00+23:59", base},
      {"2026-03-01T08:00:00.2Z", at(k20260301T0800, 200'000'000)},
      {"2026-03-01T08:00:00.25Z", at(k20260301T0800, 250'000'000)},
      {"2026-03-01T08:00:00.2500Z", at(k20260301T0800, 250'000'000)},
      {"2026-03-01T08:00:00.12345678Z", at(k20260301T0800, 123'456'780)},
      {"2026-03-01T08:00:00.000000000Z", base},
      // Digits past the ninth are below a nanosecond: read and dropped.
      {"2026-03-01T08:00:00.1234567899999Z", at(k20260301T0800, 123'456'789)},
      {"2016-12-31T23:59:60Z", at(1483228799, 1'000'000'000)},
      {"2016-12-31T23:59:60.999999999Z", at(1483228799, 1'999'999'999)},
      // A leap second given in local time lands on the UTC minute's end.
      {"2017-01-01T05:29:60.5+05:30", at(1483228799, 1'500'000'000)},
      {"+10000-01-01T00:00:00Z", at(kYear10000)},
      {"+9999-12-31T23:59:59Z", at(kYear10000 - 1)},
      {"+0001-01-01T00:00:00Z", at(-62135596800)},
      {"-0000-01-01T00:00:00Z", at(-62167219200)},
      {"+010000-01-01T00:00:00Z", at(kYear10000)},
      {"0001-01-01T01:00:00+01:00", at(-62135596800)},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_ok(c.text), c.want) << c.text;
}

const std::set<std::string> kDescriptions = {
    "input is out of range",
    "no possible date and time matching input",
    "input is not enough for unique date and time",
    "input contains invalid characters",
    "premature end of input",
    "trailing input",
    "bad or unsupported format string",
};

TEST(InstantRead, FailureDescriptions) {
  const std::string kShort = "premature end of input";
  const std::string kInvalid = "input contains invalid characters";
  const std::string kTrailing = "trailing input";
  const std::string kRange = "input is out of range";
  const std::string kImpossible = "no possible date and time matching input";
  struct Case {
    const char* text;
    const std::string& want;
  };
  const Case cases[] = {
      {"", kShort},
      {"2030", kShort},
      {"2030-01-01", kShort},
      {"2030-01-01T", kShort},
      {"2030-01-01T10", kShort},
      {"2030-01-01T10:00", kShort},
      {"2030-01-01T10:00:0", kShort},
      {"2030-01-01T10:00:00", kShort},
      {"2030-01-01T10:00:00.", kShort},
      {"2030-01-01T10:00:00.5", kShort},
      {"2030-01-01T10:00:00+05", kShort},
      {"2030-01-01T10:00:00+05:3", kShort},
      {"+", kShort},
      {"+1000", kShort},

      {"2030-01-01T10:00:00Zjunk", kTrailing},
      {"2030-01-01T10:00:00Z ", kTrailing},
      {"2030-01-01T10:00:00+00:00Z", kTrailing},
      {"2030-01-01T10:00:00+00:000", kTrailing},
      {"2030-01-01T10:00:00Z\n", kTrailing},

      {"abcd-01-01T00:00:00Z", kInvalid},
      {"2030/01/01T10:00:00Z", kInvalid},
      {"2030-1-01T10:00:00Z", kInvalid},
      {"20300-01-01T10:00:00Z", kInvalid},
      {"2030-01-01X10:00:00Z", kInvalid},
      {"2030-01-01T10-00-00Z", kInvalid},
      {"2030-01-01T10:00:00.Z", kInvalid},
      {"2030-01-01T10:00:00,5Z", kInvalid},
      {"2030-01-01T10:00:00+0530", kInvalid},
      {"2030-01-01T10:00:00 UTC", kInvalid},
      {"2030-01-01T10:00:00X", kInvalid},
      {" 2030-01-01T10:00:00Z", kInvalid},
      {"+999-01-01T00:00:00Z", kInvalid},
      {"++2030-01-01T00:00:00Z", kInvalid},
      {"2030-01-01T1a:00:00Z", kInvalid},

      {"2030-13-01T00:00:00Z", kRange},
      {"2030-00-10T00:00:00Z", kRange},
      {"2030-01-00T00:00:00Z", kRange},
      {"2030-01-32T00:00:00Z", kRange},
      {"2030-01-01T24:00:00Z", kRange},
      {"2030-01-01T10:60:00Z", kRange},
      {"2030-01-01T10:00:61Z", kRange},
      {"2030-01-01T10:00:00+24:00", kRange},
      {"2030-01-01T10:00:00+05:60", kRange},
      {"+262144-01-01T00:00:00Z", kRange},
      {"-262145-12-31T23:59:59Z", kRange},
      {"+262143-12-31T23:59:59-00:01", kRange},
      {"-262144-01-01T00:00:00+00:01", kRange},
      {"+262143-12-31T23:59:60Z", kRange},
      {"+99999999999999999999999999-01-01T00:00:00Z", kRange},

      {"2030-02-30T00:00:00Z", kImpossible},
      {"2029-02-29T00:00:00Z", kImpossible},
      {"1900-02-29T00:00:00Z", kImpossible},
      {"2030-04-31T00:00:00Z", kImpossible},
  };
  for (const auto& c : cases) {
    auto r = Instant::parse_rfc3339(c.text);
    ASSERT_FALSE(r.ok()) << c.text << " read as " << r.value().to_rfc3339_z();
    EXPECT_EQ(r.error(), c.want) << c.text;
  }
  // Leap days that do exist.
  EXPECT_TRUE(Instant::parse_rfc3339("2000-02-29T00:00:00Z").ok());
  EXPECT_TRUE(Instant::parse_rfc3339("2028-02-29T00:00:00Z").ok());
}

// Every mangled text is either read or rejected with one of the known
// descriptions; none crashes (the sanitizer builds run this too).
TEST(InstantRead, MangledTextsGiveKnownDescriptions) {
  const std::string seeds[] = {"2026-03-01T08:00:00.250Z", "+10000-01-01T00:00:00-05:30",
                               "2016-12-31T23:59:60.5Z"};
  const char alphabet[] = "0123456789+-:.TtZz xé\x00";
  std::mt19937 rng(7);
  for (const auto& seed : seeds) {
    for (int i = 0; i < 5000; ++i) {
      std::string s = seed;
      const int edits = 1 + static_cast<int>(rng() % 3);
      for (int e = 0; e < edits; ++e) {
        const size_t pos = s.empty() ? 0 : rng() % (s.size() + 1);
        const char ch = alphabet[rng() % (sizeof alphabet - 1)];
        switch (rng() % 3) {
          case 0: if (pos < s.size()) s[pos] = ch; break;
          case 1: s.insert(s.begin() + static_cast<std::ptrdiff_t>(pos), ch); break;
          default: if (pos < s.size()) s.erase(pos, 1); break;
        }
      }
      auto r = Instant::parse_rfc3339(s);
      if (r.ok()) {
        // Whatever is accepted reads back from its own writing.
        EXPECT_EQ(parse_ok(r.value().to_rfc3339_z()), r.value()) << s;
      } else {
        EXPECT_TRUE(kDescriptions.count(r.error())) << s << ": " << r.error();
      }
    }
  }
}

// ---- Construction ----

TEST(InstantConstruct, FromUnixChecksRangeAndLeapPlacement) {
  const int64_t lo = Instant::min().unix_seconds();
  const int64_t hi = Instant::max().unix_seconds();
  EXPECT_TRUE(Instant::from_unix(lo).has_value());
  EXPECT_TRUE(Instant::from_unix(hi, 999'999'999).has_value());
  EXPECT_FALSE(Instant::from_unix(lo - 1, 999'999'999).has_value());
  EXPECT_FALSE(Instant::from_unix(hi + 1).has_value());
  EXPECT_FALSE(Instant::from_unix(std::numeric_limits<int64_t>::max()).has_value());
  EXPECT_FALSE(Instant::from_unix(std::numeric_limits<int64_t>::min()).has_value());
  EXPECT_FALSE(Instant::from_unix(0, 2'000'000'000).has_value());
  // A leap second only extends second 59 of a minute (it would otherwise
  // be written as a different instant than the one held).
  EXPECT_TRUE(Instant::from_unix(59, 1'000'000'000).has_value());
  EXPECT_TRUE(Instant::from_unix(-1, 1'999'999'999).has_value());
  EXPECT_FALSE(Instant::from_unix(58, 1'000'000'000).has_value());
  EXPECT_FALSE(Instant::from_unix(60, 1'000'000'000).has_value());
  // ...and not the range's last second, which would lie beyond max().
  EXPECT_FALSE(Instant::from_unix(hi, 1'000'000'000).has_value());
}

TEST(InstantConstruct, FromCivilRejectsInvalidFields) {
  const CivilTime bad[] = {
      {2030, 0, 1, 0, 0, 0, 0},  {2030, 13, 1, 0, 0, 0, 0}, {2030, 2, 29, 0, 0, 0, 0},
      {2030, 4, 31, 0, 0, 0, 0}, {2030, 1, 0, 0, 0, 0, 0},  {2030, 1, 1, 24, 0, 0, 0},
      {2030, 1, 1, -1, 0, 0, 0}, {2030, 1, 1, 0, 60, 0, 0}, {2030, 1, 1, 0, 0, 60, 0},
      {2030, 1, 1, 0, 0, -1, 0}, {2030, 1, 1, 0, 0, 58, 1'000'000'000},
      {Instant::kMaxYear + 1, 1, 1, 0, 0, 0, 0}, {Instant::kMinYear - 1, 12, 31, 0, 0, 0, 0},
  };
  for (const auto& c : bad) {
    EXPECT_FALSE(Instant::from_civil(c).has_value())
        << c.year << "-" << c.month << "-" << c.day << " " << c.hour << ":" << c.minute << ":"
        << c.second << "." << c.nanos;
  }
  EXPECT_TRUE(Instant::from_civil({2030, 1, 1, 23, 59, 59, 1'999'999'999}).has_value());
}

// Consecutive calendar days map to consecutive day numbers, and back, over
// stretches that include the year 0, century rules and the range ends.
TEST(InstantConstruct, CalendarIsContinuous) {
  const std::pair<int64_t, int64_t> spans[] = {
      {-405, 405}, {1895, 2105}, {9995, 10005}, {Instant::kMinYear, Instant::kMinYear + 5},
      {Instant::kMaxYear - 5, Instant::kMaxYear}};
  for (auto [from, to] : spans) {
    int64_t expect = days_from_civil(from, 1, 1);
    for (int64_t y = from; y <= to; ++y) {
      for (int m = 1; m <= 12; ++m) {
        for (int d = 1; d <= days_in_month(y, m); ++d) {
          ASSERT_EQ(days_from_civil(y, m, d), expect) << y << "-" << m << "-" << d;
          int64_t yy;
          int mm, dd;
          civil_from_days(expect, &yy, &mm, &dd);
          ASSERT_EQ(yy, y);
          ASSERT_EQ(mm, m);
          ASSERT_EQ(dd, d);
          ++expect;
        }
      }
    }
  }
  EXPECT_EQ(days_from_civil(1970, 1, 1), 0);
  EXPECT_EQ(days_in_month(2000, 2), 29);
  EXPECT_EQ(days_in_month(1900, 2), 28);
  EXPECT_EQ(days_in_month(0, 2), 29);
  EXPECT_EQ(days_in_month(-4, 2), 29);
  EXPECT_EQ(days_in_month(-100, 2), 28);
  EXPECT_FALSE(is_valid_date(2030, 2, 29));
}

TEST(InstantConstruct, NowFollowsTheWallClock) {
  const time_t before = ::time(nullptr);
  const Instant now = Instant::now();
  const time_t after = ::time(nullptr);
  EXPECT_GE(now.unix_seconds(), before);
  EXPECT_LE(now.unix_seconds(), after);
  EXPECT_LT(now.nanos(), 1'000'000'000u);
}

// ---- Ordering and arithmetic ----

TEST(InstantOrder, LeapSecondSitsBetweenItsNeighbours) {
  const Instant s59 = at(1483228799, 999'999'999);
  const Instant leap = at(1483228799, 1'000'000'000);
  const Instant next = at(1483228800);
  EXPECT_LT(s59, leap);
  EXPECT_LT(leap, next);
  EXPECT_LT(at(-1, 999'999'999), at(0));
  EXPECT_EQ(at(5, 5), at(5, 5));
  EXPECT_LT(Instant::min(), Instant::max());
}

TEST(InstantArithmetic, AddSecondsAndMillisAreChecked) {
  const Instant t = at(k20260301T0800, 250'000'000);
  EXPECT_EQ(t.add_seconds(0), t);
  EXPECT_EQ(t.add_seconds(86400), at(k20260301T0800 + 86400, 250'000'000));
  EXPECT_EQ(t.add_millis(750), at(k20260301T0800 + 1));
  EXPECT_EQ(t.add_millis(1), at(k20260301T0800, 251'000'000));
  EXPECT_EQ(t.add_millis(3'600'000), at(k20260301T0800 + 3600, 250'000'000));

  // Spans above the largest accepted span fail, whatever the start.
  EXPECT_FALSE(Instant::min().add_seconds(Instant::kMaxSpanSeconds + 1).has_value());
  EXPECT_FALSE(t.add_seconds(std::numeric_limits<uint64_t>::max()).has_value());
  EXPECT_FALSE(t.add_millis(std::numeric_limits<uint64_t>::max()).has_value());
  EXPECT_FALSE(t.add_millis(Instant::kMaxSpanSeconds * 1000 + 1).has_value());
  // Leaving the range fails; reaching its end does not.
  const Instant last_second = at(Instant::max().unix_seconds());
  EXPECT_EQ(at(Instant::max().unix_seconds() - 10).add_seconds(10), last_second);
  EXPECT_FALSE(at(Instant::max().unix_seconds() - 10).add_seconds(11).has_value());
  EXPECT_FALSE(Instant::max().add_millis(1).has_value());
  EXPECT_EQ(Instant::min().add_seconds(Instant::max().unix_seconds() -
                                       Instant::min().unix_seconds()),
            last_second);
}

TEST(InstantArithmetic, AddNanosBothWays) {
  const Instant t = at(10, 500);
  EXPECT_EQ(t.add_nanos(0), t);
  EXPECT_EQ(t.add_nanos(999'999'500), at(11));
  EXPECT_EQ(t.add_nanos(-501), at(9, 999'999'999));
  EXPECT_EQ(t.add_nanos(-10'000'000'500), at(0));
  EXPECT_EQ(at(0).add_nanos(std::numeric_limits<int64_t>::min()),
            at(-9223372037, 145'224'192));
  EXPECT_FALSE(Instant::min().add_nanos(-1).has_value());
  EXPECT_FALSE(Instant::max().add_nanos(1).has_value());
  EXPECT_EQ(Instant::max().add_nanos(-999'999'999), at(Instant::max().unix_seconds()));
}

TEST(InstantArithmetic, LeapSecondCountsAsTheEndOfItsSecond) {
  // Arithmetic and differences treat 23:59:60.x as the last nanosecond of
  // 23:59:59, so they never run against the order.
  const Instant leap = at(1483228799, 1'500'000'000);
  EXPECT_EQ(leap.add_nanos(1), at(1483228800));
  EXPECT_EQ(leap.add_seconds(1), at(1483228800, 999'999'999));
  EXPECT_EQ(leap.nanos_until(at(1483228800)), 1);
  EXPECT_EQ(at(1483228799).nanos_until(leap), 999'999'999);
  EXPECT_GE(leap.millis_until(at(1483228800)), 0);
}

TEST(InstantArithmetic, MillisUntilTruncatesTowardZeroAndSaturates) {
  const Instant t = at(100);
  struct Case {
    Instant later;
    int64_t millis;
  };
  const Case cases[] = {
      {at(100), 0},
      {at(100, 999'999), 0},
      {at(100, 1'999'999), 1},
      {at(101, 500'000), 1000},
      {at(99, 999'000'001), 0},
      {at(99, 998'000'001), -1},
      {at(98), -2000},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(t.millis_until(c.later), c.millis) << c.later.to_rfc3339_z();
  }
  EXPECT_EQ(t.nanos_until(at(99, 999'999'999)), -1);
  // The whole range in nanoseconds does not fit in 64 bits.
  EXPECT_EQ(Instant::min().nanos_until(Instant::max()), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(Instant::max().nanos_until(Instant::min()), std::numeric_limits<int64_t>::min());
  const int64_t span = Instant::max().unix_seconds() - Instant::min().unix_seconds();
  EXPECT_EQ(Instant::min().millis_until(Instant::max()), span * 1000 + 999);
}

}  // namespace
}  // namespace quor
