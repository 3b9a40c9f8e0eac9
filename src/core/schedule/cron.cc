#include "core/schedule/cron.h"

#include <bit>

namespace quor {

namespace {

constexpr char kInvalidExpression[] = "Invalid cron expression.";

enum class Names { kNone, kMonths, kDays };

struct Field {
  const char* name;
  int min;
  int max;
  Names names;
  bool question_mark;  // "?" allowed
};

constexpr Field kFields[7] = {
    {"Seconds", 0, 59, Names::kNone, false},
    {"Minutes", 0, 59, Names::kNone, false},
    {"Hours", 0, 23, Names::kNone, false},
    {"Days of Month", 1, 31, Names::kNone, true},
    {"Months", 1, 12, Names::kMonths, false},
    {"Days of Week", 1, 7, Names::kDays, true},
    {"Years", CronExpr::kMinYear, CronExpr::kMaxYear, Names::kNone, false},
};

struct NameValue {
  const char* name;
  int value;
};

constexpr NameValue kMonthNames[] = {
    {"jan", 1},      {"feb", 2},       {"mar", 3},     {"apr", 4},     {"may", 5},
    {"jun", 6},      {"jul", 7},       {"aug", 8},     {"sep", 9},     {"oct", 10},
    {"nov", 11},     {"dec", 12},      {"january", 1}, {"february", 2}, {"march", 3},
    {"april", 4},    {"june", 6},      {"july", 7},    {"august", 8},  {"september", 9},
    {"october", 10}, {"november", 11}, {"december", 12},
};

constexpr NameValue kDayNames[] = {
    {"sun", 1},       {"mon", 2},       {"tue", 3},        {"tues", 3},      {"wed", 4},
    {"thu", 5},       {"thurs", 5},     {"fri", 6},        {"sat", 7},       {"sunday", 1},
    {"monday", 2},    {"tuesday", 3},   {"wednesday", 4},  {"thursday", 5},  {"friday", 6},
    {"saturday", 7},
};

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
char to_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool all_of(std::string_view s, bool (*pred)(char)) {
  if (s.empty()) return false;
  for (char c : s) {
    if (!pred(c)) return false;
  }
  return true;
}

// Digits to a number, saturating far above every field's range.
uint32_t to_number(std::string_view digits) {
  uint64_t n = 0;
  for (char c : digits) {
    n = n * 10 + static_cast<uint64_t>(c - '0');
    if (n > UINT32_MAX) return UINT32_MAX;
  }
  return static_cast<uint32_t>(n);
}

std::optional<int> lookup_name(std::string_view name, Names names) {
  auto find = [&](const auto& table) -> std::optional<int> {
    for (const NameValue& nv : table) {
      std::string_view candidate(nv.name);
      if (candidate.size() != name.size()) continue;
      bool same = true;
      for (size_t i = 0; i < name.size() && same; ++i) same = to_lower(name[i]) == candidate[i];
      if (same) return nv.value;
    }
    return std::nullopt;
  };
  return names == Names::kMonths ? find(kMonthNames) : find(kDayNames);
}

// A field's values, bit (value - bias).
struct Bits {
  uint64_t w[3] = {0, 0, 0};
  void set(int i) { w[i >> 6] |= uint64_t{1} << (i & 63); }
};

struct FieldParser {
  const Field& field;
  int bias;  // subtracted from a value to get its bit

  static std::string wrap(const std::string& message) { return "Invalid expression: " + message; }

  // One value of the field: digits or a name.
  Result<int, std::string> value(std::string_view token) const {
    if (all_of(token, is_alpha)) {
      if (field.names == Names::kNone) {
        return wrap(std::string("The '") + field.name + "' field does not support using names. '" +
                    std::string(token) + "' specified.");
      }
      std::optional<int> v = lookup_name(token, field.names);
      if (!v) {
        return wrap("'" + std::string(token) +
                    (field.names == Names::kMonths ? "' is not a valid month name."
                                                   : "' is not a valid day of the week."));
      }
      return *v;
    }
    if (!all_of(token, is_digit)) return std::string(kInvalidExpression);
    uint32_t n = to_number(token);
    if (n < static_cast<uint32_t>(field.min)) {
      return wrap(std::string(field.name) + " must be greater than or equal to " +
                  std::to_string(field.min) + ". ('" + std::string(token) + "' specified.)");
    }
    if (n > static_cast<uint32_t>(field.max)) {
      return wrap(std::string(field.name) + " must be less than " + std::to_string(field.max) +
                  ". ('" + std::string(token) + "' specified.)");
    }
    return static_cast<int>(n);
  }

  Result<void, std::string> item(std::string_view text, Bits* bits) const {
    std::string_view base = text;
    std::optional<std::string_view> step_text;
    if (size_t slash = text.find('/'); slash != std::string_view::npos) {
      base = text.substr(0, slash);
      step_text = text.substr(slash + 1);
      if (!all_of(*step_text, is_digit)) return std::string(kInvalidExpression);
    }
    int lo = 0, hi = 0;
    bool single = false;
    if (base == "*" || (base == "?" && field.question_mark)) {
      lo = field.min;
      hi = field.max;
    } else {
      size_t dash = base.find('-');
      std::string_view first = base.substr(0, dash);
      auto a = value(first);
      if (!a.ok()) return a.error();
      lo = hi = *a;
      single = dash == std::string_view::npos;
      if (!single) {
        std::string_view second = base.substr(dash + 1);
        auto b = value(second);
        if (!b.ok()) return b.error();
        hi = *b;
        if (lo > hi) {
          bool named = all_of(first, is_alpha) && all_of(second, is_alpha);
          return wrap(std::string(named ? "Invalid named range for " : "Invalid range for ") +
                      field.name + ": " + std::string(first) + "-" + std::string(second));
        }
      }
    }
    uint32_t step = 1;
    if (step_text) {
      step = to_number(*step_text);
      if (step == 0) return wrap("range step cannot be zero");
      if (single) hi = field.max;  // "a/n": a, a+n, ... to the largest value
    }
    for (int64_t v = lo; v <= hi; v += step) bits->set(static_cast<int>(v) - bias);
    return {};
  }

  Result<Bits, std::string> parse(std::string_view text) const {
    Bits bits;
    size_t start = 0;
    while (true) {
      size_t comma = text.find(',', start);
      std::string_view one = text.substr(start, comma == std::string_view::npos ? text.npos : comma - start);
      if (one.empty()) return std::string(kInvalidExpression);
      auto r = item(one, &bits);
      if (!r.ok()) return r.error();
      if (comma == std::string_view::npos) break;
      start = comma + 1;
    }
    return bits;
  }
};

bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

int next_bit(uint64_t bits, int from) {
  if (from > 63) return -1;
  uint64_t rest = bits & (~uint64_t{0} << from);
  return rest ? std::countr_zero(rest) : -1;
}

bool is_leap(int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int month_days(int64_t y, int m) {
  static constexpr int kDays[13] = {0, 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && is_leap(y) ? 29 : kDays[m];
}

// 1 = Sunday .. 7 = Saturday.
int weekday(int64_t y, int m, int d) {
  // Days since 1970-01-01 (a Thursday), proleptic Gregorian.
  y -= m <= 2;
  int64_t era = (y >= 0 ? y : y - 399) / 400;
  int64_t yoe = y - era * 400;
  int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  int64_t days = era * 146097 + doe - 719468;
  int64_t w = (days + 4) % 7;  // 0 = Sunday
  if (w < 0) w += 7;
  return static_cast<int>(w) + 1;
}

}  // namespace

Result<CronExpr, std::string> CronExpr::parse(std::string_view text) {
  std::string_view parts[8];
  size_t count = 0;
  size_t i = 0;
  while (true) {
    while (i < text.size() && is_space(text[i])) ++i;
    if (i == text.size()) break;
    size_t j = i;
    while (j < text.size() && !is_space(text[j])) ++j;
    if (count == 7) return std::string(kInvalidExpression);
    parts[count++] = text.substr(i, j - i);
    i = j;
  }
  if (count < 6) return std::string(kInvalidExpression);

  CronExpr expr;
  for (size_t f = 0; f < 7; ++f) {
    Bits bits;
    if (f < count) {
      FieldParser parser{kFields[f], f == 6 ? kMinYear : 0};
      auto r = parser.parse(parts[f]);
      if (!r.ok()) return r.error();
      bits = *r;
    } else {
      for (int y = kMinYear; y <= kMaxYear; ++y) bits.set(y - kMinYear);
    }
    switch (f) {
      case 0: expr.seconds_ = bits.w[0]; break;
      case 1: expr.minutes_ = bits.w[0]; break;
      case 2: expr.hours_ = static_cast<uint32_t>(bits.w[0]); break;
      case 3: expr.mdays_ = static_cast<uint32_t>(bits.w[0]); break;
      case 4: expr.months_ = static_cast<uint16_t>(bits.w[0]); break;
      case 5: expr.wdays_ = static_cast<uint8_t>(bits.w[0]); break;
      case 6: for (int k = 0; k < 3; ++k) expr.years_[k] = bits.w[k]; break;
    }
  }
  return expr;
}

Result<CronExpr, std::string> CronExpr::parse_user(std::string_view expr) {
  std::string text;
  text.reserve(expr.size() + 4);
  text.append("0 ").append(expr).append(" *");
  return parse(text);
}

bool CronExpr::day_matches(int64_t year, int month, int day) const {
  return (mdays_ >> day & 1) && (wdays_ >> weekday(year, month, day) & 1);
}

bool CronExpr::matches(const cctz::civil_second& t) const {
  int64_t y = t.year();
  if (y < kMinYear || y > kMaxYear) return false;
  int yi = static_cast<int>(y - kMinYear);
  return (years_[yi >> 6] >> (yi & 63) & 1) && (months_ >> t.month() & 1) &&
         day_matches(y, t.month(), t.day()) && (hours_ >> t.hour() & 1) &&
         (minutes_ >> t.minute() & 1) && (seconds_ >> t.second() & 1);
}

std::optional<cctz::civil_second> CronExpr::next_match(const cctz::civil_second& from) const {
  int64_t y = from.year();
  int mo = from.month(), d = from.day(), h = from.hour(), mi = from.minute(), s = from.second();
  if (y < kMinYear) {
    y = kMinYear;
    mo = d = 1;
    h = mi = s = 0;
  }
  // Each step either accepts a field or moves to the next value of a larger
  // field with every smaller field at its start; at most a few steps per
  // day, month or year that cannot match.
  while (y <= kMaxYear) {
    int yi = static_cast<int>(y - kMinYear);
    if (!(years_[yi >> 6] >> (yi & 63) & 1)) {
      ++y;
      mo = d = 1;
      h = mi = s = 0;
      continue;
    }
    int m2 = next_bit(months_, mo);
    if (m2 < 0) {
      ++y;
      mo = d = 1;
      h = mi = s = 0;
      continue;
    }
    if (m2 != mo) {
      mo = m2;
      d = 1;
      h = mi = s = 0;
    }
    int dim = month_days(y, mo);
    uint32_t cand = mdays_ & (~uint32_t{0} << d) & static_cast<uint32_t>((uint64_t{2} << dim) - 1);
    int first_wd = weekday(y, mo, 1);  // of day 1
    int d2 = -1;
    while (cand) {
      int c = std::countr_zero(cand);
      int wd = (first_wd - 1 + c - 1) % 7 + 1;
      if (wdays_ >> wd & 1) {
        d2 = c;
        break;
      }
      cand &= cand - 1;
    }
    if (d2 < 0) {
      if (++mo > 12) {
        ++y;
        mo = 1;
      }
      d = 1;
      h = mi = s = 0;
      continue;
    }
    if (d2 != d) {
      d = d2;
      h = mi = s = 0;
    }
    int h2 = next_bit(hours_, h);
    if (h2 < 0) {
      ++d;  // past the month's end: the day step above moves on
      h = mi = s = 0;
      if (d > dim) {
        if (++mo > 12) {
          ++y;
          mo = 1;
        }
        d = 1;
      }
      continue;
    }
    if (h2 != h) {
      h = h2;
      mi = s = 0;
    }
    int mi2 = next_bit(minutes_, mi);
    if (mi2 < 0) {
      ++h;
      mi = s = 0;
      if (h > 23) {
        h = 0;
        if (++d > dim) {
          if (++mo > 12) {
            ++y;
            mo = 1;
          }
          d = 1;
        }
      }
      continue;
    }
    if (mi2 != mi) {
      mi = mi2;
      s = 0;
    }
    int s2 = next_bit(seconds_, s);
    if (s2 < 0) {
      ++mi;
      s = 0;
      if (mi > 59) {
        mi = 0;
        if (++h > 23) {
          h = 0;
          if (++d > dim) {
            if (++mo > 12) {
              ++y;
              mo = 1;
            }
            d = 1;
          }
        }
      }
      continue;
    }
    return cctz::civil_second(y, mo, d, h, mi, s2);
  }
  return std::nullopt;
}

}  // namespace quor
