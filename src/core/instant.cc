#include "core/instant.h"

#include <time.h>

#include <limits>

namespace quor {

namespace {

constexpr uint32_t kNanosPerSecond = 1'000'000'000;
constexpr int64_t kSecondsPerDay = 86'400;

constexpr int64_t floor_div(int64_t a, int64_t b) {
  int64_t q = a / b;
  return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}
constexpr int64_t floor_mod(int64_t a, int64_t b) { return a - floor_div(a, b) * b; }

// Proleptic Gregorian day count (the era-based algorithm: 400-year eras of
// 146097 days, years starting in March so that the leap day comes last).
// constexpr so that the range bounds below need no dynamic initialisation.
constexpr int64_t days_from_civil_impl(int64_t year, int month, int day) {
  const int64_t y = year - (month <= 2 ? 1 : 0);
  const int64_t era = floor_div(y, 400);
  const int64_t yoe = y - era * 400;                                 // 0..399
  const int64_t mp = (month + 9) % 12;                               // March = 0
  const int64_t doy = (153 * mp + 2) / 5 + day - 1;                  // 0..365
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;         // 0..146096
  return era * 146097 + doe - 719468;
}

}  // namespace

int64_t days_from_civil(int64_t year, int month, int day) {
  return days_from_civil_impl(year, month, day);
}

void civil_from_days(int64_t days, int64_t* year, int* month, int* day) {
  const int64_t z = days + 719468;
  const int64_t era = floor_div(z, 146097);
  const int64_t doe = z - era * 146097;                                   // 0..146096
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;  // 0..399
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);            // 0..365
  const int64_t mp = (5 * doy + 2) / 153;                                 // 0..11
  const int d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  const int m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *year = yoe + era * 400 + (m <= 2 ? 1 : 0);
  *month = m;
  *day = d;
}

int days_in_month(int64_t year, int month) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  if (month == 2) {
    const bool leap = floor_mod(year, 4) == 0 && (floor_mod(year, 100) != 0 || floor_mod(year, 400) == 0);
    return leap ? 29 : 28;
  }
  return kDays[month - 1];
}

bool is_valid_date(int64_t year, int month, int day) {
  return month >= 1 && month <= 12 && day >= 1 && day <= days_in_month(year, month);
}

namespace {

constexpr int64_t kMinSeconds = days_from_civil_impl(Instant::kMinYear, 1, 1) * kSecondsPerDay;
constexpr int64_t kMaxSeconds =
    days_from_civil_impl(Instant::kMaxYear, 12, 31) * kSecondsPerDay + kSecondsPerDay - 1;

// A leap second can only extend the last second of a minute, and not the
// last second of the range (which would lie beyond max()). This keeps every
// instant writable as text that reads back to the same value.
bool in_range(int64_t seconds, uint32_t nanos) {
  if (seconds < kMinSeconds || seconds > kMaxSeconds) return false;
  if (nanos >= 2 * kNanosPerSecond) return false;
  if (nanos >= kNanosPerSecond) {
    return floor_mod(seconds, 60) == 59 && seconds != kMaxSeconds;
  }
  return true;
}

// Nanoseconds since the epoch, with a leap second counted as the last
// nanosecond of the second it extends (so differences follow the order).
__int128 total_nanos(int64_t seconds, uint32_t nanos) {
  if (nanos >= kNanosPerSecond) nanos = kNanosPerSecond - 1;
  return static_cast<__int128>(seconds) * kNanosPerSecond + nanos;
}

std::optional<Instant> from_total_nanos(__int128 total) {
  __int128 s = total / kNanosPerSecond;
  __int128 n = total % kNanosPerSecond;
  if (n < 0) {
    n += kNanosPerSecond;
    s -= 1;
  }
  if (s < kMinSeconds || s > kMaxSeconds) return std::nullopt;
  return Instant::from_unix(static_cast<int64_t>(s), static_cast<uint32_t>(n));
}

int64_t saturate(__int128 v) {
  if (v > std::numeric_limits<int64_t>::max()) return std::numeric_limits<int64_t>::max();
  if (v < std::numeric_limits<int64_t>::min()) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(v);
}

void append_digits(std::string& out, uint64_t value, int width) {
  char buf[24];
  int n = 0;
  do {
    buf[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  for (int i = n; i < width; ++i) out.push_back('0');
  while (n > 0) out.push_back(buf[--n]);
}

std::string write_rfc3339(const Instant& t, const char* offset) {
  const CivilTime c = t.to_civil();
  std::string out;
  out.reserve(40);
  if (c.year >= 0 && c.year <= 9999) {
    append_digits(out, static_cast<uint64_t>(c.year), 4);
  } else {
    out.push_back(c.year < 0 ? '-' : '+');
    append_digits(out, static_cast<uint64_t>(c.year < 0 ? -c.year : c.year), 4);
  }
  out.push_back('-');
  append_digits(out, static_cast<uint64_t>(c.month), 2);
  out.push_back('-');
  append_digits(out, static_cast<uint64_t>(c.day), 2);
  out.push_back('T');
  append_digits(out, static_cast<uint64_t>(c.hour), 2);
  out.push_back(':');
  append_digits(out, static_cast<uint64_t>(c.minute), 2);
  out.push_back(':');
  uint32_t frac = c.nanos;
  if (frac >= kNanosPerSecond) {
    append_digits(out, 60, 2);
    frac -= kNanosPerSecond;
  } else {
    append_digits(out, static_cast<uint64_t>(c.second), 2);
  }
  if (frac != 0) {
    out.push_back('.');
    if (frac % 1'000'000 == 0) {
      append_digits(out, frac / 1'000'000, 3);
    } else if (frac % 1'000 == 0) {
      append_digits(out, frac / 1'000, 6);
    } else {
      append_digits(out, frac, 9);
    }
  }
  out += offset;
  return out;
}

}  // namespace

std::optional<Instant> Instant::from_unix(int64_t seconds, uint32_t nanos) {
  if (!in_range(seconds, nanos)) return std::nullopt;
  return Instant(seconds, nanos);
}

std::optional<Instant> Instant::from_civil(const CivilTime& c) {
  if (c.year < kMinYear || c.year > kMaxYear) return std::nullopt;
  if (!is_valid_date(c.year, c.month, c.day)) return std::nullopt;
  if (c.hour < 0 || c.hour > 23 || c.minute < 0 || c.minute > 59 || c.second < 0 ||
      c.second > 59) {
    return std::nullopt;
  }
  const int64_t seconds = days_from_civil(c.year, c.month, c.day) * kSecondsPerDay +
                          c.hour * 3600 + c.minute * 60 + c.second;
  return from_unix(seconds, c.nanos);
}

Instant Instant::now() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return Instant(ts.tv_sec, static_cast<uint32_t>(ts.tv_nsec));
}

Instant Instant::min() { return Instant(kMinSeconds, 0); }
Instant Instant::max() { return Instant(kMaxSeconds, kNanosPerSecond - 1); }

CivilTime Instant::to_civil() const {
  CivilTime c;
  const int64_t days = floor_div(seconds_, kSecondsPerDay);
  const int64_t secs = seconds_ - days * kSecondsPerDay;
  civil_from_days(days, &c.year, &c.month, &c.day);
  c.hour = static_cast<int>(secs / 3600);
  c.minute = static_cast<int>(secs / 60 % 60);
  c.second = static_cast<int>(secs % 60);
  c.nanos = nanos_;
  return c;
}

std::optional<Instant> Instant::add_seconds(uint64_t seconds) const {
  if (seconds > kMaxSpanSeconds) return std::nullopt;
  if (seconds == 0) return *this;
  return from_total_nanos(total_nanos(seconds_, nanos_) +
                          static_cast<__int128>(seconds) * kNanosPerSecond);
}

std::optional<Instant> Instant::add_millis(uint64_t millis) const {
  if (millis > kMaxSpanSeconds * 1000) return std::nullopt;
  if (millis == 0) return *this;
  return from_total_nanos(total_nanos(seconds_, nanos_) +
                          static_cast<__int128>(millis) * 1'000'000);
}

std::optional<Instant> Instant::add_nanos(int64_t nanos) const {
  if (nanos == 0) return *this;
  return from_total_nanos(total_nanos(seconds_, nanos_) + nanos);
}

int64_t Instant::millis_until(Instant later) const {
  // Integer division of __int128 truncates toward zero.
  return saturate((total_nanos(later.seconds_, later.nanos_) - total_nanos(seconds_, nanos_)) /
                  1'000'000);
}

int64_t Instant::nanos_until(Instant later) const {
  return saturate(total_nanos(later.seconds_, later.nanos_) - total_nanos(seconds_, nanos_));
}

std::string Instant::to_rfc3339_z() const { return write_rfc3339(*this, "Z"); }
std::string Instant::to_rfc3339_offset() const { return write_rfc3339(*this, "+00:00"); }

// ---- Reading ----
//
// The grammar: YYYY-MM-DD (or a sign and at least four year digits), a "T",
// "t" or space, HH:MM:SS, an optional "." with one or more digits (digits
// past the ninth are read and dropped: nanoseconds are the finest unit), then
// "Z", "z" or +HH:MM / -HH:MM. Syntax errors are reported first, in text
// order; then field ranges; then whether the date exists.

namespace {

constexpr const char* kOutOfRange = "input is out of range";
constexpr const char* kImpossible = "no possible date and time matching input";
constexpr const char* kInvalid = "input contains invalid characters";
constexpr const char* kTooShort = "premature end of input";
constexpr const char* kTooLong = "trailing input";

class Reader {
 public:
  explicit Reader(std::string_view text) : s_(text) {}

  bool at_end() const { return pos_ >= s_.size(); }
  size_t pos() const { return pos_; }

  // Exactly `width` digits.
  const char* digits(int width, int64_t* out) {
    int64_t v = 0;
    for (int i = 0; i < width; ++i) {
      if (at_end()) return kTooShort;
      const char ch = s_[pos_];
      if (ch < '0' || ch > '9') return kInvalid;
      v = v * 10 + (ch - '0');
      ++pos_;
    }
    *out = v;
    return nullptr;
  }

  const char* expect(char ch) {
    if (at_end()) return kTooShort;
    if (s_[pos_] != ch) return kInvalid;
    ++pos_;
    return nullptr;
  }

  char peek() const { return s_[pos_]; }
  void skip() { ++pos_; }

 private:
  std::string_view s_;
  size_t pos_ = 0;
};

#define QUOR_READ(expr)                 \
  do {                                  \
    if (const char* _e = (expr)) return std::string(_e); \
  } while (0)

}  // namespace

Result<Instant, std::string> Instant::parse_rfc3339(std::string_view text) {
  Reader r(text);
  int64_t year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  bool range_error = false;

  // Year: four digits, or a sign and at least four digits.
  if (!r.at_end() && (r.peek() == '+' || r.peek() == '-')) {
    const bool negative = r.peek() == '-';
    r.skip();
    int count = 0;
    while (!r.at_end() && r.peek() >= '0' && r.peek() <= '9') {
      if (year <= kMaxYear * 10) year = year * 10 + (r.peek() - '0');
      else range_error = true;  // far too many digits; keep reading the syntax
      r.skip();
      ++count;
    }
    if (count < 4) {
      if (r.at_end()) return std::string(kTooShort);
      return std::string(kInvalid);
    }
    if (negative) year = -year;
  } else {
    QUOR_READ(r.digits(4, &year));
  }
  QUOR_READ(r.expect('-'));
  QUOR_READ(r.digits(2, &month));
  QUOR_READ(r.expect('-'));
  QUOR_READ(r.digits(2, &day));

  if (r.at_end()) return std::string(kTooShort);
  if (r.peek() != 'T' && r.peek() != 't' && r.peek() != ' ') return std::string(kInvalid);
  r.skip();

  QUOR_READ(r.digits(2, &hour));
  QUOR_READ(r.expect(':'));
  QUOR_READ(r.digits(2, &minute));
  QUOR_READ(r.expect(':'));
  QUOR_READ(r.digits(2, &second));

  uint32_t nanos = 0;
  if (r.at_end()) return std::string(kTooShort);
  if (r.peek() == '.') {
    r.skip();
    int count = 0;
    while (!r.at_end() && r.peek() >= '0' && r.peek() <= '9') {
      if (count < 9) nanos = nanos * 10 + static_cast<uint32_t>(r.peek() - '0');
      r.skip();
      ++count;
    }
    if (count == 0) {
      if (r.at_end()) return std::string(kTooShort);
      return std::string(kInvalid);
    }
    for (int i = count; i < 9; ++i) nanos *= 10;
  }

  // Offset, in seconds east of UTC.
  int64_t offset = 0;
  if (r.at_end()) return std::string(kTooShort);
  const char zone = r.peek();
  if (zone == 'Z' || zone == 'z') {
    r.skip();
  } else if (zone == '+' || zone == '-') {
    r.skip();
    int64_t oh = 0, om = 0;
    QUOR_READ(r.digits(2, &oh));
    QUOR_READ(r.expect(':'));
    QUOR_READ(r.digits(2, &om));
    if (oh > 23 || om > 59) range_error = true;
    offset = (oh * 3600 + om * 60) * (zone == '-' ? -1 : 1);
  } else {
    return std::string(kInvalid);
  }
  if (!r.at_end()) return std::string(kTooLong);

  if (range_error || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 ||
      minute > 59 || second > 60) {
    return std::string(kOutOfRange);
  }
  if (year < kMinYear || year > kMaxYear) return std::string(kOutOfRange);
  if (!is_valid_date(year, static_cast<int>(month), static_cast<int>(day))) {
    return std::string(kImpossible);
  }
  if (second == 60) {
    // A leap second extends second 59; its time is carried in the nanos.
    second = 59;
    nanos += kNanosPerSecond;
  }
  const int64_t local = days_from_civil(year, static_cast<int>(month), static_cast<int>(day)) *
                            kSecondsPerDay +
                        hour * 3600 + minute * 60 + second;
  std::optional<Instant> t = from_unix(local - offset, nanos);
  if (!t) return std::string(kOutOfRange);
  return *t;
}

#undef QUOR_READ

}  // namespace quor
