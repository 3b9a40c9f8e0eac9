// Cost of next_fire for typical cron expressions and for one that never
// matches, beside the cost of one cctz civil-to-absolute lookup measured in
// the same run. Goals: typical under 5 us, never-matching under 100 us.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

#include <cctz/time_zone.h>

#include "core/schedule/next_fire.h"

namespace {

using Clock = std::chrono::steady_clock;

double ns_per(Clock::duration d, int n) {
  return std::chrono::duration<double, std::nano>(d).count() / n;
}

volatile int64_t sink;

// One lookup of a local time in a zone: the unit of work next_fire repeats.
double lookup_ns(const char* zone, int n) {
  cctz::time_zone tz;
  cctz::load_time_zone(zone, &tz);
  cctz::civil_second c(2024, 1, 1, 0, 0, 0);
  auto start = Clock::now();
  for (int i = 0; i < n; ++i) {
    sink = tz.lookup(c + static_cast<int64_t>(i) * 997).pre.time_since_epoch().count();
  }
  return ns_per(Clock::now() - start, n);
}

double next_fire_ns(const quor::Schedule& s, const char* zone, int n) {
  // Start points spread over several years, so that every call searches.
  const int64_t base = 1704067200;  // 2024-01-01T00:00:00Z
  auto start = Clock::now();
  for (int i = 0; i < n; ++i) {
    quor::Instant now = *quor::Instant::from_unix(base + static_cast<int64_t>(i) * 7919, 0);
    auto r = quor::next_fire(s, now, zone);
    sink = r.ok() && *r ? (*r)->unix_seconds() : -1;
  }
  return ns_per(Clock::now() - start, n);
}

}  // namespace

int main() {
  struct Case {
    const char* label;
    quor::Schedule schedule;
    const char* zone;
    bool never;
  };
  const Case cases[] = {
      {"cron */15 * * * * (UTC)", quor::CronSchedule{"*/15 * * * *"}, "UTC", false},
      {"cron 0 9 * * mon-fri (Europe/Berlin)", quor::CronSchedule{"0 9 * * mon-fri"},
       "Europe/Berlin", false},
      {"cron 30 2 * * * (America/New_York)", quor::CronSchedule{"30 2 * * *"}, "America/New_York",
       false},
      {"cron 0 0 1 1 * (Europe/Berlin)", quor::CronSchedule{"0 0 1 1 *"}, "Europe/Berlin", false},
      {"cron 0 12 13 * fri (UTC)", quor::CronSchedule{"0 12 13 * fri"}, "UTC", false},
      {"every 60s (Europe/Berlin)", quor::EverySchedule{60}, "Europe/Berlin", false},
      {"cron 0 0 31 2 * never (Europe/Berlin)", quor::CronSchedule{"0 0 31 2 *"},
       "Europe/Berlin", true},
  };
  const int n = 200000;
  // Warm the zone cache and the code paths.
  for (const Case& c : cases) next_fire_ns(c.schedule, c.zone, 1000);
  double baseline = lookup_ns("Europe/Berlin", n);
  std::printf("baseline: one cctz civil->absolute lookup (Europe/Berlin): %.1f ns\n", baseline);
  bool all_ok = true;
  for (const Case& c : cases) {
    int count = c.never ? n / 10 : n;
    double ns = next_fire_ns(c.schedule, c.zone, count);
    double goal = c.never ? 100000 : 5000;
    bool ok = ns < goal;
    all_ok = all_ok && ok;
    std::printf("%-42s %9.1f ns/op  ratio %6.1fx baseline  goal < %.0f us: %s\n", c.label, ns,
                ns / baseline, goal / 1000, ok ? "met" : "MISSED");
  }
  return all_ok ? 0 : 1;
}
