// next_fire: when a schedule fires next after a given moment.
#pragma once

#include <optional>
#include <string>

#include "core/instant.h"
#include "core/model.h"
#include "core/result.h"

namespace quor {

// The first fire of `schedule` after `now` in the time zone `zone`, or
// nothing when the timer has no further fire.
//
// The zone is resolved first, for every variant: a name outside the
// database fails with InvalidTimezone. Then:
//   At     `at` if now < at, else nothing;
//   After  registered_at + seconds if now is before it, else nothing;
//   Every  now + seconds;
//   Cron   the earliest matching local time strictly after now, converted
//          to UTC; nothing when no match is left up to the year 2100. An
//          expression that does not parse fails with InvalidCron carrying
//          the parser's text.
// A sum that leaves the range of instants (a huge stored duration) gives
// nothing rather than a wrapped instant.
//
// Daylight-saving time, for a cron match on a local time that:
//   - the zone skips (a spring-forward gap): it fires once, at the first
//     instant after the gap;
//   - occurs twice (a fall-back fold): it fires at the first occurrence,
//     and at the second as well only when the Hours field matches every
//     hour ("*", "*/1"), so that hourly and shorter cadences go on through
//     the repeated hour while a daily job runs exactly once.
// The result is always strictly after now; such times never fail.
Result<std::optional<Instant>> next_fire(const Schedule& schedule, Instant now,
                                         const std::string& zone);

}  // namespace quor
