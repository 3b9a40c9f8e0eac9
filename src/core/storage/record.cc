#include "core/storage/record.h"

#include <cstring>
#include <utility>

#include "core/json/reader.h"

namespace quor {

namespace {

using json::Number;
using json::Object;
using json::Reader;
using json::Value;

// ---- Names, in declaration order ----

constexpr std::string_view kEventTags[] = {
    "TIMER_CREATED", "TIMER_UPDATED", "TIMER_PAUSED", "TIMER_RESUMED",
    "TIMER_CANCELLED", "RUN_DUE",     "RUN_STARTED",  "RUN_SUCCEEDED",
    "RUN_FAILED",    "RUN_RETRYING",  "RUN_DEAD",
};
constexpr std::string_view kScheduleKinds[] = {"cron", "every", "at", "after"};
constexpr std::string_view kBackoffKinds[] = {"fixed", "exponential", "linear"};
constexpr std::string_view kStateNames[] = {"Scheduled", "Running", "Retrying", "Dead",
                                            "Orphaned",  "Paused",  "Cancelled"};
static_assert(std::size(kEventTags) == std::variant_size_v<Event>);
static_assert(std::size(kStateNames) == kTimerStateCount);

// ---- Writing ----

inline void put2(char* p, uint32_t v) {
  p[0] = static_cast<char>('0' + v / 10);
  p[1] = static_cast<char>('0' + v % 10);
}

inline void put_digits(char* p, uint32_t v, int width) {
  for (int i = width - 1; i >= 0; --i) {
    p[i] = static_cast<char>('0' + v % 10);
    v /= 10;
  }
}

// The "Z" form as a JSON string: year, month, day, "T", time, a fraction
// of 0, 3, 6 or 9 digits, "Z". Second 60 for a leap second.
void put_instant(Instant t, std::string* out) {
  const CivilTime c = t.to_civil();
  char buf[48];
  char* p = buf;
  *p++ = '"';
  if (c.year >= 0 && c.year <= 9999) {
    put_digits(p, static_cast<uint32_t>(c.year), 4);
    p += 4;
  } else {
    *p++ = c.year < 0 ? '-' : '+';
    const uint64_t y = static_cast<uint64_t>(c.year < 0 ? -c.year : c.year);
    char digits[24];
    int n = 0;
    for (uint64_t v = y; v != 0 || n == 0; v /= 10) digits[n++] = static_cast<char>('0' + v % 10);
    for (int i = n; i < 4; ++i) *p++ = '0';
    while (n > 0) *p++ = digits[--n];
  }
  *p++ = '-';
  put2(p, static_cast<uint32_t>(c.month));
  p[2] = '-';
  put2(p + 3, static_cast<uint32_t>(c.day));
  p[5] = 'T';
  put2(p + 6, static_cast<uint32_t>(c.hour));
  p[8] = ':';
  put2(p + 9, static_cast<uint32_t>(c.minute));
  p[11] = ':';
  uint32_t frac = c.nanos;
  if (frac >= 1'000'000'000) {
    put2(p + 12, 60);
    frac -= 1'000'000'000;
  } else {
    put2(p + 12, static_cast<uint32_t>(c.second));
  }
  p += 14;
  if (frac != 0) {
    *p++ = '.';
    if (frac % 1'000'000 == 0) {
      put_digits(p, frac / 1'000'000, 3);
      p += 3;
    } else if (frac % 1'000 == 0) {
      put_digits(p, frac / 1'000, 6);
      p += 6;
    } else {
      put_digits(p, frac, 9);
      p += 9;
    }
  }
  *p++ = 'Z';
  *p++ = '"';
  out->append(buf, static_cast<size_t>(p - buf));
}

void put_schedule(const Schedule& s, std::string* out) {
  out->append("{\"kind\":\"");
  out->append(kScheduleKinds[s.index()]);
  out->push_back('"');
  if (const auto* c = std::get_if<CronSchedule>(&s)) {
    out->append(",\"expr\":");
    json::write_string(c->expr, out);
  } else if (const auto* e = std::get_if<EverySchedule>(&s)) {
    out->append(",\"seconds\":");
    json::write_uint(e->seconds, out);
  } else if (const auto* a = std::get_if<AtSchedule>(&s)) {
    out->append(",\"at\":");
    put_instant(a->at, out);
  } else if (const auto* f = std::get_if<AfterSchedule>(&s)) {
    out->append(",\"seconds\":");
    json::write_uint(f->seconds, out);
    out->append(",\"registered_at\":");
    put_instant(f->registered_at, out);
  }
  out->push_back('}');
}

void put_backoff(const BackoffStrategy& b, std::string* out) {
  out->append("{\"kind\":\"");
  out->append(kBackoffKinds[b.index()]);
  out->push_back('"');
  if (const auto* f = std::get_if<FixedBackoff>(&b)) {
    out->append(",\"seconds\":");
    json::write_uint(f->seconds, out);
  } else if (const auto* e = std::get_if<ExponentialBackoff>(&b)) {
    out->append(",\"base_seconds\":");
    json::write_uint(e->base_seconds, out);
    out->append(",\"max_seconds\":");
    json::write_uint(e->max_seconds, out);
  } else if (const auto* l = std::get_if<LinearBackoff>(&b)) {
    out->append(",\"base_seconds\":");
    json::write_uint(l->base_seconds, out);
    out->append(",\"step_seconds\":");
    json::write_uint(l->step_seconds, out);
    out->append(",\"max_seconds\":");
    json::write_uint(l->max_seconds, out);
  }
  out->push_back('}');
}

void put_spec(const TimerSpec& s, std::string* out) {
  out->append("{\"id\":");
  json::write_string(s.id, out);
  out->append(",\"schedule\":");
  put_schedule(s.schedule, out);
  out->append(",\"retry\":{\"max_attempts\":");
  json::write_uint(s.retry.max_attempts, out);
  out->append(",\"backoff\":");
  put_backoff(s.retry.backoff, out);
  out->append("},\"timezone\":");
  json::write_string(s.timezone, out);
  out->append(",\"created_at\":");
  put_instant(s.created_at, out);
  out->push_back('}');
}

void put_ids(const std::string& timer_id, const std::string& run_id, std::string* out) {
  out->append(",\"timer_id\":");
  json::write_string(timer_id, out);
  out->append(",\"run_id\":");
  json::write_string(run_id, out);
}

void put_event(const Event& e, std::string* out) {
  out->append("{\"type\":\"");
  out->append(kEventTags[e.index()]);
  out->push_back('"');
  std::visit(
      [out](const auto& ev) {
        using T = std::decay_t<decltype(ev)>;
        if constexpr (std::is_same_v<T, TimerCreated> || std::is_same_v<T, TimerUpdated>) {
          out->append(",\"spec\":");
          put_spec(ev.spec, out);
        } else if constexpr (std::is_same_v<T, TimerPaused> || std::is_same_v<T, TimerResumed> ||
                             std::is_same_v<T, TimerCancelled>) {
          out->append(",\"timer_id\":");
          json::write_string(ev.timer_id, out);
          out->append(",\"at\":");
          put_instant(ev.at, out);
        } else if constexpr (std::is_same_v<T, RunDue>) {
          put_ids(ev.timer_id, ev.run_id, out);
          out->append(",\"scheduled_at\":");
          put_instant(ev.scheduled_at, out);
        } else if constexpr (std::is_same_v<T, RunStarted>) {
          put_ids(ev.timer_id, ev.run_id, out);
          out->append(",\"started_at\":");
          put_instant(ev.started_at, out);
          out->append(",\"attempt\":");
          json::write_uint(ev.attempt, out);
        } else if constexpr (std::is_same_v<T, RunSucceeded>) {
          put_ids(ev.timer_id, ev.run_id, out);
          out->append(",\"finished_at\":");
          put_instant(ev.finished_at, out);
          out->append(",\"duration_ms\":");
          json::write_uint(ev.duration_ms, out);
        } else if constexpr (std::is_same_v<T, RunFailed>) {
          put_ids(ev.timer_id, ev.run_id, out);
          out->append(",\"finished_at\":");
          put_instant(ev.finished_at, out);
          out->append(",\"error\":");
          json::write_string(ev.error, out);
          out->append(",\"attempt\":");
          json::write_uint(ev.attempt, out);
        } else if constexpr (std::is_same_v<T, RunRetrying>) {
          put_ids(ev.timer_id, ev.run_id, out);
          out->append(",\"attempt\":");
          json::write_uint(ev.attempt, out);
          out->append(",\"next_retry_at\":");
          put_instant(ev.next_retry_at, out);
        } else if constexpr (std::is_same_v<T, RunDead>) {
          put_ids(ev.timer_id, ev.run_id, out);
          out->append(",\"at\":");
          put_instant(ev.at, out);
        }
      },
      e);
  out->push_back('}');
}

// ---- Generic values (same keys and values as the text) ----

Value instant_value(Instant t) { return Value(t.to_rfc3339_z()); }

Value schedule_value(const Schedule& s) {
  Object o;
  o.emplace_back("kind", Value(kScheduleKinds[s.index()]));
  if (const auto* c = std::get_if<CronSchedule>(&s)) {
    o.emplace_back("expr", Value(c->expr));
  } else if (const auto* e = std::get_if<EverySchedule>(&s)) {
    o.emplace_back("seconds", Value(e->seconds));
  } else if (const auto* a = std::get_if<AtSchedule>(&s)) {
    o.emplace_back("at", instant_value(a->at));
  } else if (const auto* f = std::get_if<AfterSchedule>(&s)) {
    o.emplace_back("seconds", Value(f->seconds));
    o.emplace_back("registered_at", instant_value(f->registered_at));
  }
  return Value(std::move(o));
}

Value backoff_value(const BackoffStrategy& b) {
  Object o;
  o.emplace_back("kind", Value(kBackoffKinds[b.index()]));
  if (const auto* f = std::get_if<FixedBackoff>(&b)) {
    o.emplace_back("seconds", Value(f->seconds));
  } else if (const auto* e = std::get_if<ExponentialBackoff>(&b)) {
    o.emplace_back("base_seconds", Value(e->base_seconds));
    o.emplace_back("max_seconds", Value(e->max_seconds));
  } else if (const auto* l = std::get_if<LinearBackoff>(&b)) {
    o.emplace_back("base_seconds", Value(l->base_seconds));
    o.emplace_back("step_seconds", Value(l->step_seconds));
    o.emplace_back("max_seconds", Value(l->max_seconds));
  }
  return Value(std::move(o));
}

Value spec_value(const TimerSpec& s) {
  Object retry;
  retry.emplace_back("max_attempts", Value(s.retry.max_attempts));
  retry.emplace_back("backoff", backoff_value(s.retry.backoff));
  Object o;
  o.emplace_back("id", Value(s.id));
  o.emplace_back("schedule", schedule_value(s.schedule));
  o.emplace_back("retry", Value(std::move(retry)));
  o.emplace_back("timezone", Value(s.timezone));
  o.emplace_back("created_at", instant_value(s.created_at));
  return Value(std::move(o));
}

Value event_value(const Event& e) {
  Object o;
  o.emplace_back("type", Value(kEventTags[e.index()]));
  auto ids = [&o](const std::string& timer_id, const std::string& run_id) {
    o.emplace_back("timer_id", Value(timer_id));
    o.emplace_back("run_id", Value(run_id));
  };
  std::visit(
      [&](const auto& ev) {
        using T = std::decay_t<decltype(ev)>;
        if constexpr (std::is_same_v<T, TimerCreated> || std::is_same_v<T, TimerUpdated>) {
          o.emplace_back("spec", spec_value(ev.spec));
        } else if constexpr (std::is_same_v<T, TimerPaused> || std::is_same_v<T, TimerResumed> ||
                             std::is_same_v<T, TimerCancelled>) {
          o.emplace_back("timer_id", Value(ev.timer_id));
          o.emplace_back("at", instant_value(ev.at));
        } else if constexpr (std::is_same_v<T, RunDue>) {
          ids(ev.timer_id, ev.run_id);
          o.emplace_back("scheduled_at", instant_value(ev.scheduled_at));
        } else if constexpr (std::is_same_v<T, RunStarted>) {
          ids(ev.timer_id, ev.run_id);
          o.emplace_back("started_at", instant_value(ev.started_at));
          o.emplace_back("attempt", Value(ev.attempt));
        } else if constexpr (std::is_same_v<T, RunSucceeded>) {
          ids(ev.timer_id, ev.run_id);
          o.emplace_back("finished_at", instant_value(ev.finished_at));
          o.emplace_back("duration_ms", Value(ev.duration_ms));
        } else if constexpr (std::is_same_v<T, RunFailed>) {
          ids(ev.timer_id, ev.run_id);
          o.emplace_back("finished_at", instant_value(ev.finished_at));
          o.emplace_back("error", Value(ev.error));
          o.emplace_back("attempt", Value(ev.attempt));
        } else if constexpr (std::is_same_v<T, RunRetrying>) {
          ids(ev.timer_id, ev.run_id);
          o.emplace_back("attempt", Value(ev.attempt));
          o.emplace_back("next_retry_at", instant_value(ev.next_retry_at));
        } else if constexpr (std::is_same_v<T, RunDead>) {
          ids(ev.timer_id, ev.run_id);
          o.emplace_back("at", instant_value(ev.at));
        }
      },
      e);
  return Value(std::move(o));
}

// ---- Reading ----

// Key tables. In every tagged table the tag is entry 0, and each variant's
// fields appear in their declaration order, so walking a variant's mask from
// the low bit names its first missing field.
constexpr std::string_view kEntryKeys[] = {"v", "ts", "event"};
constexpr std::string_view kEventKeys[] = {
    "type",       "spec",        "timer_id",    "run_id", "at",      "scheduled_at",
    "started_at", "finished_at", "duration_ms", "error",  "attempt", "next_retry_at"};
enum EventKey {
  kEvType, kEvSpec, kEvTimerId, kEvRunId, kEvAt, kEvScheduledAt,
  kEvStartedAt, kEvFinishedAt, kEvDurationMs, kEvError, kEvAttempt, kEvNextRetryAt,
};
constexpr uint32_t bit(int i) { return 1u << i; }
constexpr uint32_t kEventFields[] = {
    bit(kEvSpec),
    bit(kEvSpec),
    bit(kEvTimerId) | bit(kEvAt),
    bit(kEvTimerId) | bit(kEvAt),
    bit(kEvTimerId) | bit(kEvAt),
    bit(kEvTimerId) | bit(kEvRunId) | bit(kEvScheduledAt),
    bit(kEvTimerId) | bit(kEvRunId) | bit(kEvStartedAt) | bit(kEvAttempt),
    bit(kEvTimerId) | bit(kEvRunId) | bit(kEvFinishedAt) | bit(kEvDurationMs),
    bit(kEvTimerId) | bit(kEvRunId) | bit(kEvFinishedAt) | bit(kEvError) | bit(kEvAttempt),
    bit(kEvTimerId) | bit(kEvRunId) | bit(kEvAttempt) | bit(kEvNextRetryAt),
    bit(kEvTimerId) | bit(kEvRunId) | bit(kEvAt),
};
constexpr std::string_view kSpecKeys[] = {"id", "schedule", "retry", "timezone", "created_at"};
constexpr std::string_view kScheduleKeys[] = {"kind", "expr", "seconds", "at", "registered_at"};
constexpr uint32_t kScheduleFields[] = {bit(1), bit(2), bit(3), bit(2) | bit(4)};
constexpr std::string_view kRetryKeys[] = {"max_attempts", "backoff"};
constexpr std::string_view kBackoffKeys[] = {"kind", "seconds", "base_seconds", "step_seconds",
                                             "max_seconds"};
constexpr uint32_t kBackoffFields[] = {bit(1), bit(2) | bit(4), bit(2) | bit(3) | bit(4)};
constexpr std::string_view kSnapshotKeys[] = {
    "v",     "format_version", "engine_version", "created_at", "last_aof_offset", "specs",
    "states", "last_runs",     "next_runs",      "retries_7d", "pending_retries"};
constexpr std::string_view kLastRunKeys[] = {"run_id", "finished_at", "duration_ms", "status"};
constexpr std::string_view kPendingKeys[] = {"run_id", "next_retry_at", "attempt"};

template <size_t N>
constexpr uint32_t all_fields(const std::string_view (&)[N]) {
  return static_cast<uint32_t>((uint64_t{1} << N) - 1);
}

template <size_t N>
int index_of(std::string_view key, const std::string_view (&names)[N]) {
  for (size_t i = 0; i < N; ++i) {
    if (names[i].size() == key.size() && std::memcmp(names[i].data(), key.data(), key.size()) == 0) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

template <size_t N>
std::string one_of(const std::string_view (&names)[N]) {
  std::string s = "one of ";
  for (size_t i = 0; i < N; ++i) {
    if (i > 0) s += ", ";
    s += '`';
    s += names[i];
    s += '`';
  }
  return s;
}

std::string backquoted(std::string_view s) {
  std::string out = "`";
  out += s;
  out += '`';
  return out;
}

// Decodes records straight from the text. Every reading function leaves
// the first error in the reader and returns false.
class Decoder {
 public:
  explicit Decoder(std::string_view text) : r_(text) {}

  Reader& reader() { return r_; }

  // ---- Scalars ----

  // "invalid type: <what was found>, expected <expected>", at the value
  // that starts at the read position.
  bool type_error(const char* expected) {
    const int c = r_.peek_value();
    if (c < 0) return false;
    const size_t at = r_.offset();
    std::string found;
    if (c == '"') {
      std::string_view s;
      if (!r_.read_string_view(&s)) return false;
      found = "string ";
      json::write_string(s, &found);
    } else if (c == '{') {
      found = "map";
    } else if (c == '[') {
      found = "sequence";
    } else if (c == 't' || c == 'f' || c == 'n') {
      Value v;
      if (!r_.read_literal(&v)) return false;
      found = v.is_null() ? "null" : v.as_bool() ? "boolean `true`" : "boolean `false`";
    } else if (c == '-' || (c >= '0' && c <= '9')) {
      Number n;
      if (!r_.read_number(&n)) return false;
      found = describe_number(n, at);
    } else {
      return r_.fail_at(at, "expected value");
    }
    return r_.fail_at(at, "invalid type: " + found + ", expected " + expected);
  }

  std::string describe_number(const Number& n, size_t at) {
    std::string s;
    if (n.kind == Number::Kind::kDouble && !n.integer_text) {
      s = "floating point `";
      json::write_double(n.d, &s);
    } else {
      // An integer, possibly too big for 64 bits: show it as written.
      s = "integer `";
      s.append(r_.text().substr(at, r_.offset() - at));
    }
    s += '`';
    return s;
  }

  bool read_uint(uint64_t max, const char* type_name, uint64_t* out) {
    const int c = r_.peek_value();
    if (c < 0) return false;
    if (c != '-' && (c < '0' || c > '9')) return type_error(type_name);
    const size_t at = r_.offset();
    Number n;
    if (!r_.read_number(&n)) return false;
    if (n.kind == Number::Kind::kUint && n.u <= max) {
      *out = n.u;
      return true;
    }
    if (n.kind == Number::Kind::kDouble && !n.integer_text) {
      return r_.fail_at(at, "invalid type: " + describe_number(n, at) + ", expected " + type_name);
    }
    return r_.fail_at(at, "invalid value: " + describe_number(n, at) + ", expected " + type_name);
  }
  bool read_u8(uint8_t* out) {
    uint64_t v;
    if (!read_uint(UINT8_MAX, "u8", &v)) return false;
    *out = static_cast<uint8_t>(v);
    return true;
  }
  bool read_u32(uint32_t* out) {
    uint64_t v;
    if (!read_uint(UINT32_MAX, "u32", &v)) return false;
    *out = static_cast<uint32_t>(v);
    return true;
  }
  bool read_u64(uint64_t* out) { return read_uint(UINT64_MAX, "u64", out); }

  bool read_string(std::string* out) {
    const int c = r_.peek_value();
    if (c < 0) return false;
    if (c != '"') return type_error("a string");
    return r_.read_string(out);
  }

  bool read_instant(Instant* out) {
    const int c = r_.peek_value();
    if (c < 0) return false;
    if (c != '"') return type_error("an RFC 3339 date-time string");
    const size_t at = r_.offset();
    std::string_view s;
    if (!r_.read_string_view(&s)) return false;
    auto t = Instant::parse_rfc3339(s);
    if (!t.ok()) return r_.fail_at(at, t.error());
    *out = *t;
    return true;
  }

  // A tag value: one of `names`; sets *index.
  template <size_t N>
  bool read_variant(const std::string_view (&names)[N], int* index) {
    const int c = r_.peek_value();
    if (c < 0) return false;
    if (c != '"') return type_error("a variant name");
    const size_t at = r_.offset();
    std::string_view s;
    if (!r_.read_string_view(&s)) return false;
    const int i = index_of(s, names);
    if (i < 0) {
      return r_.fail_at(at, "unknown variant " + backquoted(s) + ", expected " + one_of(names));
    }
    *index = i;
    return true;
  }

  // ---- Objects ----

  // Reads members until '}', starting with the first member when `first`.
  // Calls field(i) with the reader at the value of known key i (one in
  // `allowed`); skips other keys. Records each key in *seen and the offset
  // of the closing brace in *close_at.
  template <size_t N, typename F>
  bool members(bool first, const std::string_view (&names)[N], uint32_t allowed, uint32_t* seen,
               size_t* close_at, F&& field) {
    std::string_view key;
    bool done = false;
    for (;; first = false) {
      if (!r_.next_member(first, &key, &done)) return false;
      if (done) {
        *close_at = r_.offset() - 1;
        return true;
      }
      const int i = index_of(key, names);
      if (i < 0 || !(allowed & bit(i))) {
        if (!r_.skip_value()) return false;
        continue;
      }
      if (*seen & bit(i)) {
        return r_.fail_at(r_.key_offset(), "duplicate field " + backquoted(names[i]));
      }
      *seen |= bit(i);
      if (!field(i)) return false;
    }
  }

  // "missing field" for the first field of `required` not in `seen`.
  template <size_t N>
  bool check_missing(const std::string_view (&names)[N], uint32_t required, uint32_t seen,
                     size_t close_at) {
    const uint32_t missing = required & ~seen;
    if (missing == 0) return true;
    const int i = __builtin_ctz(missing);
    return r_.fail_at(close_at, "missing field " + backquoted(names[i]));
  }

  // An object with the fields `names`, all required.
  template <size_t N, typename F>
  bool record(const char* expected, const std::string_view (&names)[N], F&& field) {
    const int c = r_.peek_value();
    if (c < 0) return false;
    if (c != '{') return type_error(expected);
    if (!r_.enter_object()) return false;
    uint32_t seen = 0;
    size_t close_at = 0;
    if (!members(true, names, all_fields(names), &seen, &close_at, field)) return false;
    return check_missing(names, all_fields(names), seen, close_at);
  }

  // An object tagged by names[0] whose value is one of `variants`; the tag
  // may stand anywhere in the object. Sets *variant, then calls field(i)
  // for the variant's fields (fields[*variant]).
  template <size_t N, size_t V, typename F>
  bool tagged(const char* expected, const std::string_view (&names)[N],
              const std::string_view (&variants)[V], const uint32_t* fields, int* variant,
              F&& field) {
    const int c = r_.peek_value();
    if (c < 0) return false;
    if (c != '{') return type_error(expected);
    if (!r_.enter_object()) return false;
    const size_t body = r_.offset();
    const int depth = r_.depth();
    std::string_view key;
    bool done = false;
    if (!r_.next_member(true, &key, &done)) return false;
    if (done) return r_.fail_at(r_.offset() - 1, "missing field " + backquoted(names[0]));
    uint32_t seen = 0;
    bool first = false;
    if (key == names[0]) {
      // The writer puts the tag first.
      if (!read_variant(variants, variant)) return false;
      seen = bit(0);
    } else {
      // Look ahead for the tag, then read the members again.
      bool found = false;
      for (;;) {
        if (key == names[0]) {
          if (found) return r_.fail_at(r_.key_offset(), "duplicate field " + backquoted(names[0]));
          if (!read_variant(variants, variant)) return false;
          found = true;
        } else if (!r_.skip_value()) {
          return false;
        }
        if (!r_.next_member(false, &key, &done)) return false;
        if (done) break;
      }
      if (!found) return r_.fail_at(r_.offset() - 1, "missing field " + backquoted(names[0]));
      r_.rewind(body, depth);
      first = true;
    }
    size_t close_at = 0;
    const uint32_t allowed = fields[*variant] | bit(0);
    if (!members(first, names, allowed, &seen, &close_at, [&](int i) {
          return i == 0 ? r_.skip_value() : field(i);
        })) {
      return false;
    }
    return check_missing(names, fields[*variant], seen, close_at);
  }

  // An object of timer id -> value; read_one(id, value_slot) reads a value.
  template <typename Map, typename F>
  bool map(Map* out, F&& read_one) {
    const int c = r_.peek_value();
    if (c < 0) return false;
    if (c != '{') return type_error("a map");
    if (!r_.enter_object()) return false;
    std::string_view key;
    bool done = false;
    for (bool first = true;; first = false) {
      if (!r_.next_member(first, &key, &done)) return false;
      if (done) return true;
      auto [it, inserted] = out->try_emplace(std::string(key));
      if (!inserted) return r_.fail_at(r_.key_offset(), "duplicate key " + backquoted(key));
      if (!read_one(&it->second)) return false;
    }
  }

  // ---- Records ----

  bool schedule(Schedule* out) {
    int variant = 0;
    std::string expr;
    uint64_t seconds = 0;
    Instant at, registered_at;
    if (!tagged("internally tagged enum Schedule", kScheduleKeys, kScheduleKinds,
                kScheduleFields, &variant, [&](int i) {
                  switch (i) {
                    case 1: return read_string(&expr);
                    case 2: return read_u64(&seconds);
                    case 3: return read_instant(&at);
                    default: return read_instant(&registered_at);
                  }
                })) {
      return false;
    }
    switch (variant) {
      case 0: *out = CronSchedule{std::move(expr)}; break;
      case 1: *out = EverySchedule{seconds}; break;
      case 2: *out = AtSchedule{at}; break;
      default: *out = AfterSchedule{seconds, registered_at}; break;
    }
    return true;
  }

  bool backoff(BackoffStrategy* out) {
    int variant = 0;
    uint64_t v[5] = {};
    if (!tagged("internally tagged enum BackoffStrategy", kBackoffKeys, kBackoffKinds,
                kBackoffFields, &variant, [&](int i) { return read_u64(&v[i]); })) {
      return false;
    }
    switch (variant) {
      case 0: *out = FixedBackoff{v[1]}; break;
      case 1: *out = ExponentialBackoff{v[2], v[4]}; break;
      default: *out = LinearBackoff{v[2], v[3], v[4]}; break;
    }
    return true;
  }

  bool retry_policy(RetryPolicy* out) {
    return record("struct RetryPolicy", kRetryKeys, [&](int i) {
      return i == 0 ? read_u32(&out->max_attempts) : backoff(&out->backoff);
    });
  }

  bool timer_spec(TimerSpec* out) {
    return record("struct TimerSpec", kSpecKeys, [&](int i) {
      switch (i) {
        case 0: return read_string(&out->id);
        case 1: return schedule(&out->schedule);
        case 2: return retry_policy(&out->retry);
        case 3: return read_string(&out->timezone);
        default: return read_instant(&out->created_at);
      }
    });
  }

  bool event(Event* out) {
    int variant = 0;
    TimerSpec spec;
    std::string timer_id, run_id, error;
    Instant at;  // the one instant each variant carries
    uint64_t duration_ms = 0;
    uint32_t attempt = 0;
    if (!tagged("internally tagged enum Event", kEventKeys, kEventTags, kEventFields, &variant,
                [&](int i) {
                  switch (i) {
                    case kEvSpec: return timer_spec(&spec);
                    case kEvTimerId: return read_string(&timer_id);
                    case kEvRunId: return read_string(&run_id);
                    case kEvDurationMs: return read_u64(&duration_ms);
                    case kEvError: return read_string(&error);
                    case kEvAttempt: return read_u32(&attempt);
                    default: return read_instant(&at);
                  }
                })) {
      return false;
    }
    switch (variant) {
      case 0: *out = TimerCreated{std::move(spec)}; break;
      case 1: *out = TimerUpdated{std::move(spec)}; break;
      case 2: *out = TimerPaused{std::move(timer_id), at}; break;
      case 3: *out = TimerResumed{std::move(timer_id), at}; break;
      case 4: *out = TimerCancelled{std::move(timer_id), at}; break;
      case 5: *out = RunDue{std::move(timer_id), std::move(run_id), at}; break;
      case 6: *out = RunStarted{std::move(timer_id), std::move(run_id), at, attempt}; break;
      case 7:
        *out = RunSucceeded{std::move(timer_id), std::move(run_id), at, duration_ms};
        break;
      case 8:
        *out = RunFailed{std::move(timer_id), std::move(run_id), at, std::move(error), attempt};
        break;
      case 9: *out = RunRetrying{std::move(timer_id), std::move(run_id), attempt, at}; break;
      default: *out = RunDead{std::move(timer_id), std::move(run_id), at}; break;
    }
    return true;
  }

  bool log_entry(LogEntry* out) {
    return record("struct LogEntry", kEntryKeys, [&](int i) {
      switch (i) {
        case 0: return read_u8(&out->v);
        case 1: return read_instant(&out->ts);
        default: return event(&out->event);
      }
    });
  }

  bool timer_state(TimerState* out) {
    int i = 0;
    if (!read_variant(kStateNames, &i)) return false;
    *out = static_cast<TimerState>(i);
    return true;
  }

  bool last_run(LastRunInfo* out) {
    const uint32_t required = bit(0) | bit(1) | bit(3);  // "duration_ms" may be left out
    const int c = r_.peek_value();
    if (c < 0) return false;
    if (c != '{') return type_error("struct LastRunInfoSnapshot");
    if (!r_.enter_object()) return false;
    uint32_t seen = 0;
    size_t close_at = 0;
    if (!members(true, kLastRunKeys, all_fields(kLastRunKeys), &seen, &close_at, [&](int i) {
          switch (i) {
            case 0: return read_string(&out->run_id);
            case 1: return read_instant(&out->finished_at);
            case 2: {
              if (r_.peek_value() == 'n') {
                Value null;
                out->duration_ms.reset();
                return r_.read_literal(&null);
              }
              uint64_t d;
              if (!read_u64(&d)) return false;
              out->duration_ms = d;
              return true;
            }
            default: return read_string(&out->status);
          }
        })) {
      return false;
    }
    return check_missing(kLastRunKeys, required, seen, close_at);
  }

  bool pending_retry(PendingRetry* out) {
    return record("struct PendingRetrySnapshot", kPendingKeys, [&](int i) {
      switch (i) {
        case 0: return read_string(&out->run_id);
        case 1: return read_instant(&out->next_retry_at);
        default: return read_u32(&out->attempt);
      }
    });
  }

  bool snapshot(Snapshot* out) {
    EngineState& st = out->state;
    return record("struct Snapshot", kSnapshotKeys, [&](int i) {
      switch (i) {
        case 0: return read_u8(&out->v);
        case 1: return read_u8(&out->format_version);
        case 2: return read_string(&out->engine_version);
        case 3: return read_instant(&out->created_at);
        case 4: return read_u64(&out->last_aof_offset);
        case 5: return map(&st.specs, [&](TimerSpec* s) { return timer_spec(s); });
        case 6: return map(&st.states, [&](TimerState* s) { return timer_state(s); });
        case 7: return map(&st.last_runs, [&](LastRunInfo* l) { return last_run(l); });
        case 8: return map(&st.next_runs, [&](Instant* t) { return read_instant(t); });
        case 9: return map(&st.retries_7d, [&](uint32_t* n) { return read_u32(n); });
        default: return map(&st.pending_retries, [&](PendingRetry* p) { return pending_retry(p); });
      }
    });
  }

 private:
  Reader r_;
};

// The error to report for a failed decode. A text that is not well-formed
// JSON reports the reader's first error, so a text cut short is always an
// end-of-input error, even when a record error comes earlier in it.
json::ParseError decode_error(Decoder& d, std::string_view text) {
  json::ParseError e = d.reader().error();
  if (e.is_eof()) return e;
  Reader check(text);
  if (!check.skip_value() || !check.finish()) return check.error();
  return e;
}

}  // namespace

void encode_log_line(const LogEntry& entry, std::string* out) {
  out->append("{\"v\":");
  json::write_uint(entry.v, out);
  out->append(",\"ts\":");
  put_instant(entry.ts, out);
  out->append(",\"event\":");
  put_event(entry.event, out);
  out->push_back('}');
}

std::string encode_log_line(const LogEntry& entry) {
  std::string out;
  out.reserve(256);
  encode_log_line(entry, &out);
  return out;
}

Result<LogEntry, json::ParseError> parse_log_line(std::string_view line) {
  Decoder d(line);
  LogEntry entry;
  if (!d.log_entry(&entry) || !d.reader().finish()) return decode_error(d, line);
  return entry;
}

json::Value log_entry_to_json(const LogEntry& entry) {
  Object o;
  o.emplace_back("v", Value(static_cast<uint64_t>(entry.v)));
  o.emplace_back("ts", instant_value(entry.ts));
  o.emplace_back("event", event_value(entry.event));
  return Value(std::move(o));
}

Snapshot build_snapshot(const EngineState& state, uint64_t last_aof_offset) {
  Snapshot s;
  s.created_at = Instant::now();
  s.last_aof_offset = last_aof_offset;
  s.state = state;
  s.state.bindings.clear();
  return s;
}

std::string encode_snapshot(const Snapshot& snapshot) {
  const EngineState& st = snapshot.state;
  Object specs, states, last_runs, next_runs, retries, pending;
  for (const auto& [id, spec] : st.specs) specs.emplace_back(id, spec_value(spec));
  for (const auto& [id, state] : st.states) {
    states.emplace_back(id, Value(kStateNames[static_cast<int>(state)]));
  }
  for (const auto& [id, run] : st.last_runs) {
    Object o;
    o.emplace_back("run_id", Value(run.run_id));
    o.emplace_back("finished_at", instant_value(run.finished_at));
    o.emplace_back("duration_ms", run.duration_ms ? Value(*run.duration_ms) : Value());
    o.emplace_back("status", Value(run.status));
    last_runs.emplace_back(id, Value(std::move(o)));
  }
  for (const auto& [id, t] : st.next_runs) next_runs.emplace_back(id, instant_value(t));
  for (const auto& [id, n] : st.retries_7d) retries.emplace_back(id, Value(n));
  for (const auto& [id, p] : st.pending_retries) {
    Object o;
    o.emplace_back("run_id", Value(p.run_id));
    o.emplace_back("next_retry_at", instant_value(p.next_retry_at));
    o.emplace_back("attempt", Value(p.attempt));
    pending.emplace_back(id, Value(std::move(o)));
  }
  Object root;
  root.emplace_back("v", Value(static_cast<uint64_t>(snapshot.v)));
  root.emplace_back("format_version", Value(static_cast<uint64_t>(snapshot.format_version)));
  root.emplace_back("engine_version", Value(snapshot.engine_version));
  root.emplace_back("created_at", instant_value(snapshot.created_at));
  root.emplace_back("last_aof_offset", Value(snapshot.last_aof_offset));
  root.emplace_back("specs", Value(std::move(specs)));
  root.emplace_back("states", Value(std::move(states)));
  root.emplace_back("last_runs", Value(std::move(last_runs)));
  root.emplace_back("next_runs", Value(std::move(next_runs)));
  root.emplace_back("retries_7d", Value(std::move(retries)));
  root.emplace_back("pending_retries", Value(std::move(pending)));
  return json::to_pretty(Value(std::move(root)));
}

Result<Snapshot, json::ParseError> decode_snapshot(std::string_view text) {
  Decoder d(text);
  Snapshot s;
  s.engine_version.clear();
  if (!d.snapshot(&s) || !d.reader().finish()) return decode_error(d, text);
  return s;
}

}  // namespace quor
