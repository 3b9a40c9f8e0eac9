#include "core/schedule/next_fire.h"

#include <chrono>

#include "core/schedule/cron.h"
#include "core/schedule/timezone.h"

namespace quor {

namespace {

using Seconds = cctz::time_point<cctz::seconds>;

Seconds to_point(int64_t unix_seconds) { return Seconds(cctz::seconds(unix_seconds)); }
int64_t to_unix(Seconds tp) { return tp.time_since_epoch().count(); }

// The instant a matching local time `m` fires at, when it fires only once
// or at its first occurrence: the unique instant, the first instant after
// a gap that skips it, or the first of the two instants of a fold.
int64_t first_fire_of(const cctz::time_zone& tz, const cctz::civil_second& m) {
  cctz::time_zone::civil_lookup cl = tz.lookup(m);
  switch (cl.kind) {
    case cctz::time_zone::civil_lookup::SKIPPED: return to_unix(cl.trans);
    case cctz::time_zone::civil_lookup::REPEATED: return to_unix(std::min(cl.pre, cl.post));
    case cctz::time_zone::civil_lookup::UNIQUE: break;
  }
  return to_unix(cl.pre);
}

// Cron in a zone. Fire instants of a local match `m`:
//   unique m       its instant;
//   m in a gap     the transition instant that ends the gap (so several
//                  matches inside one gap fire once, together);
//   m in a fold    its first occurrence, and also its second one when the
//                  Hours field holds every hour.
// The first occurrences grow with local time, so the earliest first
// occurrence after now comes from the first local match, at or after now's
// local time, whose first occurrence is after now. A second occurrence can
// only come first when now lies inside that fold; it is looked for there.
std::optional<Instant> next_cron_fire(const CronExpr& expr, const cctz::time_zone& tz,
                                      Instant now) {
  const int64_t now_s = now.unix_seconds();
  // Whether an instant at a whole second is after now (now may carry nanos).
  auto after_now = [&](int64_t s) { return s > now_s; };
  const cctz::civil_second local = cctz::convert(to_point(now_s), tz);
  const cctz::time_zone::civil_lookup here = tz.lookup(local);
  const bool in_fold = here.kind == cctz::time_zone::civil_lookup::REPEATED;
  cctz::civil_second fold_end;  // first local time after the repeated span
  if (in_fold) fold_end = cctz::convert(here.trans - cctz::seconds(1), tz) + 1;
  const bool in_second_pass = in_fold && now_s >= to_unix(here.trans);

  std::optional<int64_t> best;
  // In the second pass every first occurrence inside the fold is past.
  cctz::civil_second from = in_second_pass && fold_end > local ? fold_end : local;
  for (;;) {
    std::optional<cctz::civil_second> m = expr.next_match(from);
    if (!m) break;
    int64_t s = first_fire_of(tz, *m);
    if (after_now(s)) {
      best = s;
      break;
    }
    from = *m + 1;
  }

  if (in_fold && expr.every_hour()) {
    // Second occurrences of the fold that holds now.
    cctz::civil_second fold_start = cctz::convert(here.trans, tz);
    cctz::civil_second start = in_second_pass ? local + 1 : fold_start;
    std::optional<cctz::civil_second> m = expr.next_match(start);
    if (m && *m < fold_end) {
      cctz::time_zone::civil_lookup cl = tz.lookup(*m);
      int64_t s = to_unix(std::max(cl.pre, cl.post));
      if (after_now(s) && (!best || s < *best)) best = s;
    }
  }
  if (!best) return std::nullopt;
  return Instant::from_unix(*best);
}

}  // namespace

Result<std::optional<Instant>> next_fire(const Schedule& schedule, Instant now,
                                         const std::string& zone) {
  auto tz = find_time_zone(zone);
  if (!tz.ok()) return std::move(tz).error();

  if (const auto* at = std::get_if<AtSchedule>(&schedule)) {
    return now < at->at ? std::optional<Instant>(at->at) : std::nullopt;
  }
  if (const auto* after = std::get_if<AfterSchedule>(&schedule)) {
    std::optional<Instant> due = after->registered_at.add_seconds(after->seconds);
    return due && now < *due ? due : std::nullopt;
  }
  if (const auto* every = std::get_if<EverySchedule>(&schedule)) {
    return now.add_seconds(every->seconds);
  }
  const auto& cron = std::get<CronSchedule>(schedule);
  auto expr = CronExpr::parse_user(cron.expr);
  if (!expr.ok()) return EngineError::invalid_cron(std::move(expr).error());
  return next_cron_fire(*expr, *tz, now);
}

}  // namespace quor
