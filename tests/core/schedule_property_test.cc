// next_fire against a plain reference: random five-field expressions,
// random instants (many close to daylight-saving changes), and a walk over
// every minute of a short horizon that applies the daylight-saving rule
// directly to the clock readings it sees.
#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <vector>

#include <cctz/time_zone.h>

#include "core/schedule/next_fire.h"

namespace quor {
namespace {

using Point = cctz::time_point<cctz::seconds>;

struct Field {
  std::string text;
  std::set<int> values;
};

// One expression and, independently of the parser, the values of each field.
struct Expr {
  Field f[5];  // minute, hour, day of month, month, day of week
  std::string text() const {
    return f[0].text + " " + f[1].text + " " + f[2].text + " " + f[3].text + " " + f[4].text;
  }
  bool matches(const cctz::civil_second& c) const {
    if (c.year() < 1970 || c.year() > 2100 || c.second() != 0) return false;
    int wd = 0;  // 1 = Sunday
    switch (cctz::get_weekday(cctz::civil_day(c))) {
      case cctz::weekday::sunday: wd = 1; break;
      case cctz::weekday::monday: wd = 2; break;
      case cctz::weekday::tuesday: wd = 3; break;
      case cctz::weekday::wednesday: wd = 4; break;
      case cctz::weekday::thursday: wd = 5; break;
      case cctz::weekday::friday: wd = 6; break;
      case cctz::weekday::saturday: wd = 7; break;
    }
    return f[0].values.count(c.minute()) && f[1].values.count(c.hour()) &&
           f[2].values.count(c.day()) && f[3].values.count(c.month()) && f[4].values.count(wd);
  }
  bool every_hour() const { return f[1].values.size() == 24; }
};

const char* const kMonthNames[] = {"jan", "FEB", "Mar", "april", "may", "june",
                                   "jul", "August", "sep", "OCT", "november", "Dec"};
const char* const kDayNames[] = {"sun", "Mon", "tues", "WED", "thurs", "friday", "Sat"};

class Generator {
 public:
  explicit Generator(uint32_t seed) : rng_(seed) {}

  int uniform(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
  bool chance(int percent) { return uniform(1, 100) <= percent; }

  // A field of [lo, hi]; `star` is the chance of a plain "*".
  Field field(int lo, int hi, int star, const char* const* names) {
    Field out;
    if (chance(star)) {
      out.text = chance(80) || names == nullptr ? "*" : (lo == 1 && hi == 7 ? "?" : "*");
      for (int v = lo; v <= hi; ++v) out.values.insert(v);
      return out;
    }
    int items = uniform(1, 3);
    for (int i = 0; i < items; ++i) {
      if (i) out.text += ",";
      int a = uniform(lo, hi), b = uniform(a, hi);
      auto show = [&](int v) {
        return names && chance(40) ? std::string(names[v - lo]) : std::to_string(v);
      };
      switch (uniform(0, 4)) {
        case 0:
          out.text += show(a);
          out.values.insert(a);
          break;
        case 1:
          out.text += show(a) + "-" + show(b);
          for (int v = a; v <= b; ++v) out.values.insert(v);
          break;
        case 2: {
          int n = uniform(1, hi - lo + 1);
          out.text += "*/" + std::to_string(n);
          for (int v = lo; v <= hi; v += n) out.values.insert(v);
          break;
        }
        case 3: {
          int n = uniform(1, 10);
          out.text += show(a) + "/" + std::to_string(n);
          for (int v = a; v <= hi; v += n) out.values.insert(v);
          break;
        }
        default: {
          int n = uniform(1, 5);
          out.text += show(a) + "-" + show(b) + "/" + std::to_string(n);
          for (int v = a; v <= b; v += n) out.values.insert(v);
          break;
        }
      }
    }
    return out;
  }

  // Dense enough that most expressions fire within the horizon.
  Expr expr() {
    Expr e;
    e.f[0] = field(0, 59, 15, nullptr);
    e.f[1] = field(0, 23, 45, nullptr);
    e.f[2] = field(1, 31, 85, nullptr);
    e.f[3] = field(1, 12, 90, kMonthNames);
    e.f[4] = field(1, 7, 70, kDayNames);
    return e;
  }

  std::mt19937& rng() { return rng_; }

 private:
  std::mt19937 rng_;
};

constexpr int64_t kHorizon = 3 * 86400;
constexpr int64_t kWarmUp = 4 * 3600;  // longer than any repeated span

// Every fire in (now, now + kHorizon], walking the absolute minutes. A
// minute fires when its clock reading matches and was not shown before
// (or the Hours field holds every hour), or when the clock jumped over a
// matching reading since the previous minute.
std::vector<int64_t> reference_fires(const Expr& e, const cctz::time_zone& tz, Instant now) {
  std::vector<int64_t> out;
  const int64_t end = now.unix_seconds() + kHorizon;
  int64_t t = now.unix_seconds() - kWarmUp;
  t -= ((t % 60) + 60) % 60;
  cctz::civil_second prev = cctz::convert(Point(cctz::seconds(t)), tz);
  cctz::civil_second high = prev;  // the latest reading shown so far
  for (t += 60; t <= end; t += 60) {
    cctz::civil_second c = cctz::convert(Point(cctz::seconds(t)), tz);
    bool fires = false;
    for (cctz::civil_second g = prev + 60; g < c && !fires; g += 60) fires = e.matches(g);
    if (e.matches(c) && (c > high || e.every_hour())) fires = true;
    if (c > high) high = c;
    prev = c;
    bool after_now = t > now.unix_seconds();
    if (fires && after_now) out.push_back(t);
  }
  return out;
}

std::vector<int64_t> fires_of(const Expr& e, const std::string& zone, Instant now) {
  std::vector<int64_t> out;
  const int64_t end = now.unix_seconds() + kHorizon;
  Instant cur = now;
  for (;;) {
    auto r = next_fire(CronSchedule{e.text()}, cur, zone);
    EXPECT_TRUE(r.ok()) << e.text() << ": " << r.error().message();
    if (!r.ok() || !*r) break;
    EXPECT_LT(cur, **r);
    if ((*r)->unix_seconds() > end) break;
    out.push_back((*r)->unix_seconds());
    cur = **r;
  }
  return out;
}

// Instants to start from: daylight-saving changes of the zone, nearby.
std::vector<int64_t> transitions(const cctz::time_zone& tz) {
  std::vector<int64_t> out;
  cctz::time_zone::civil_transition trans;
  Point tp = cctz::convert(cctz::civil_second(2019, 1, 1), cctz::utc_time_zone());
  const Point stop = cctz::convert(cctz::civil_second(2031, 1, 1), cctz::utc_time_zone());
  while (tz.next_transition(tp, &trans)) {
    Point at = tz.lookup(trans.to).trans;  // the instant of the change
    if (at <= tp || at > stop) break;
    tp = at;
    out.push_back(tp.time_since_epoch().count());
  }
  return out;
}

std::string show(const std::vector<int64_t>& v) {
  std::string s;
  for (int64_t t : v) s += Instant::from_unix(t)->to_rfc3339_z() + " ";
  return s;
}

TEST(NextFireProperty, AgreesWithMinuteWalk) {
  const char* zones[] = {"UTC", "Europe/Berlin", "America/New_York", "Australia/Lord_Howe"};
  Generator gen(20240331);
  for (const char* zone : zones) {
    cctz::time_zone tz;
    ASSERT_TRUE(cctz::load_time_zone(zone, &tz));
    std::vector<int64_t> changes = transitions(tz);
    int compared = 0, with_fires = 0;
    for (int i = 0; i < 250; ++i) {
      Expr e = gen.expr();
      int64_t base;
      switch (gen.uniform(0, 9)) {
        case 0:  // anywhere in the years
          base = std::uniform_int_distribution<int64_t>(0, 4102444800)(gen.rng());
          break;
        case 1:  // the first and last days of the range
          base = gen.chance(50) ? -2 * 86400 : 4133894400 - 2 * 86400;
          base += gen.uniform(0, 86400);
          break;
        default:  // close to a daylight-saving change
          base = changes.empty() ? 1717000000
                                 : changes[gen.uniform(0, static_cast<int>(changes.size()) - 1)];
          base += gen.uniform(-2 * 86400, 3 * 3600);
          break;
      }
      uint32_t nanos = 0;
      if (gen.chance(30)) {
        base -= base % 60;  // exactly on a minute
      } else if (gen.chance(50)) {
        nanos = static_cast<uint32_t>(gen.uniform(0, 999999999));
      }
      Instant now = *Instant::from_unix(base, nanos);
      std::vector<int64_t> want = reference_fires(e, tz, now);
      std::vector<int64_t> got = fires_of(e, zone, now);
      ASSERT_EQ(show(got), show(want))
          << "expr '" << e.text() << "' in " << zone << " after " << now.to_rfc3339_z();
      ++compared;
      with_fires += !want.empty();
    }
    // The generator must produce fires often enough for the test to mean much.
    EXPECT_GT(with_fires, compared / 2) << zone;
  }
}

}  // namespace
}  // namespace quor
