#include "core/json/reader.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <system_error>

namespace quor::json {

namespace {

constexpr uint64_t kOnes = 0x0101010101010101ULL;
constexpr uint64_t kHighs = 0x8080808080808080ULL;

// Non-zero when some byte of the word needs a closer look inside a string:
// a quotation mark, a backslash, a control character or a non-ASCII byte.
inline uint64_t string_special(uint64_t w) {
  const uint64_t quote = w ^ (kOnes * '"');
  const uint64_t slash = w ^ (kOnes * '\\');
  const uint64_t has_quote = (quote - kOnes) & ~quote;
  const uint64_t has_slash = (slash - kOnes) & ~slash;
  const uint64_t below_space = w - kOnes * 0x20;  // borrows into the high bit
  return (has_quote | has_slash | below_space | w) & kHighs;
}

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Length of the UTF-8 sequence at s: 2 to 4, 0 when it is invalid, -1 when
// the text ends before a so far valid sequence is complete.
int utf8_sequence(const unsigned char* s, const unsigned char* end) {
  const unsigned char c = s[0];
  int n;
  unsigned char lo = 0x80, hi = 0xBF;  // range of the second byte
  if (c < 0xC2) return 0;  // continuation byte or overlong two-byte form
  if (c < 0xE0) {
    n = 2;
  } else if (c < 0xF0) {
    n = 3;
    if (c == 0xE0) lo = 0xA0;       // overlong
    if (c == 0xED) hi = 0x9F;       // UTF-16 surrogates
  } else if (c < 0xF5) {
    n = 4;
    if (c == 0xF0) lo = 0x90;       // overlong
    if (c == 0xF4) hi = 0x8F;       // above U+10FFFF
  } else {
    return 0;
  }
  for (int i = 1; i < n; ++i) {
    if (s + i >= end) return -1;
    const unsigned char b = s[i];
    if (i == 1 ? (b < lo || b > hi) : (b < 0x80 || b > 0xBF)) return 0;
  }
  return n;
}

void append_utf8(uint32_t cp, std::string* out) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

constexpr const char* kControlMessage =
    "control character (\\u0000-\\u001F) found while parsing a string";

}  // namespace

bool Reader::fail_eof(const char* what) {
  if (failed_) return false;
  failed_ = true;
  eof_ = true;
  error_offset_ = static_cast<size_t>(end_ - begin_);
  error_message_ = std::string("EOF while parsing ") + what;
  return false;
}

bool Reader::fail_at(size_t offset, std::string message) {
  if (failed_) return false;
  failed_ = true;
  eof_ = false;
  error_offset_ = offset;
  error_message_ = std::move(message);
  return false;
}

ParseError Reader::error() const {
  ParseError e;
  e.error_class = eof_ ? ParseError::Class::kEof : ParseError::Class::kData;
  uint64_t line = 1;
  size_t line_start = 0;
  for (size_t i = 0; i < error_offset_; ++i) {
    if (begin_[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  e.line = line;
  e.column = error_offset_ - line_start + 1;
  e.message = error_message_ + " at line " + std::to_string(e.line) + " column " +
              std::to_string(e.column);
  return e;
}

bool Reader::enter_object() {
  if (failed_) return false;
  if (++depth_ > kMaxDepth) return fail_at(offset(), "recursion limit exceeded");
  ++p_;
  return true;
}

bool Reader::enter_array() {
  if (failed_) return false;
  if (++depth_ > kMaxDepth) return fail_at(offset(), "recursion limit exceeded");
  ++p_;
  return true;
}

bool Reader::next_member(bool first, std::string_view* key, bool* done) {
  if (failed_) return false;
  int c = peek();
  if (c == '}') {
    ++p_;
    --depth_;
    *done = true;
    return true;
  }
  if (!first) {
    if (c < 0) return fail_eof("an object");
    if (c != ',') return fail_at(offset(), "expected `,` or `}`");
    ++p_;
    c = peek();
    if (c == '}') return fail_at(offset(), "trailing comma");
  }
  if (c != '"') {
    if (c < 0) return fail_eof("an object");
    return fail_at(offset(), "key must be a string");
  }
  key_offset_ = offset();
  if (!read_string_view(key)) return false;
  c = peek();
  if (c != ':') {
    if (c < 0) return fail_eof("an object");
    return fail_at(offset(), "expected `:`");
  }
  ++p_;
  *done = false;
  return true;
}

bool Reader::next_element(bool first, bool* done) {
  if (failed_) return false;
  int c = peek();
  if (c == ']') {
    ++p_;
    --depth_;
    *done = true;
    return true;
  }
  if (!first) {
    if (c < 0) return fail_eof("a list");
    if (c != ',') return fail_at(offset(), "expected `,` or `]`");
    ++p_;
    c = peek();
    if (c == ']') return fail_at(offset(), "trailing comma");
  } else if (c < 0) {
    return fail_eof("a list");
  }
  *done = false;
  return true;
}

bool Reader::read_string_view(std::string_view* out) {
  if (failed_) return false;
  const char* start = p_ + 1;
  const char* s = start;
  for (;;) {
    while (end_ - s >= 8) {
      uint64_t w;
      std::memcpy(&w, s, 8);
      if (string_special(w) != 0) break;
      s += 8;
    }
    if (s >= end_) return fail_eof("a string");
    const unsigned char c = static_cast<unsigned char>(*s);
    if (c == '"') {
      *out = std::string_view(start, static_cast<size_t>(s - start));
      p_ = s + 1;
      return true;
    }
    if (c == '\\') return read_string_slow(start, s, out);
    if (c < 0x20) return fail_at(static_cast<size_t>(s - begin_), kControlMessage);
    if (c >= 0x80) {
      const int n = utf8_sequence(reinterpret_cast<const unsigned char*>(s),
                                  reinterpret_cast<const unsigned char*>(end_));
      if (n < 0) return fail_eof("a string");
      if (n == 0) return fail_at(static_cast<size_t>(s - begin_), "invalid UTF-8 in string");
      s += n;
      continue;
    }
    ++s;
  }
}

// The string has escapes: decode it into scratch_, starting at the first
// backslash `s`.
bool Reader::read_string_slow(const char* start, const char* s, std::string_view* out) {
  scratch_.assign(start, s);
  while (true) {
    if (s >= end_) return fail_eof("a string");
    const unsigned char c = static_cast<unsigned char>(*s);
    if (c == '"') {
      p_ = s + 1;
      *out = scratch_;
      return true;
    }
    if (c < 0x20) return fail_at(static_cast<size_t>(s - begin_), kControlMessage);
    if (c >= 0x80) {
      const int n = utf8_sequence(reinterpret_cast<const unsigned char*>(s),
                                  reinterpret_cast<const unsigned char*>(end_));
      if (n < 0) return fail_eof("a string");
      if (n == 0) return fail_at(static_cast<size_t>(s - begin_), "invalid UTF-8 in string");
      scratch_.append(s, static_cast<size_t>(n));
      s += n;
      continue;
    }
    if (c != '\\') {
      scratch_.push_back(static_cast<char>(c));
      ++s;
      continue;
    }
    // An escape.
    const size_t escape_at = static_cast<size_t>(s - begin_);
    if (s + 1 >= end_) return fail_eof("a string");
    const char e = s[1];
    s += 2;
    switch (e) {
      case '"': scratch_.push_back('"'); continue;
      case '\\': scratch_.push_back('\\'); continue;
      case '/': scratch_.push_back('/'); continue;
      case 'b': scratch_.push_back('\b'); continue;
      case 'f': scratch_.push_back('\f'); continue;
      case 'n': scratch_.push_back('\n'); continue;
      case 'r': scratch_.push_back('\r'); continue;
      case 't': scratch_.push_back('\t'); continue;
      case 'u': break;
      default: return fail_at(escape_at, "invalid escape");
    }
    // \uXXXX, possibly the first half of a surrogate pair.
    auto read_hex4 = [&](uint32_t* unit) -> bool {
      uint32_t v = 0;
      for (int i = 0; i < 4; ++i) {
        if (s >= end_) return fail_eof("a string");
        const int h = hex_value(*s);
        if (h < 0) return fail_at(escape_at, "invalid escape");
        v = v * 16 + static_cast<uint32_t>(h);
        ++s;
      }
      *unit = v;
      return true;
    };
    uint32_t unit = 0;
    if (!read_hex4(&unit)) return false;
    if (unit >= 0xDC00 && unit <= 0xDFFF) {
      return fail_at(escape_at, "lone surrogate in unicode escape");
    }
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      // The low half must follow at once.
      if (s >= end_) return fail_eof("a string");
      if (*s != '\\') return fail_at(escape_at, "lone surrogate in unicode escape");
      if (s + 1 >= end_) return fail_eof("a string");
      if (s[1] != 'u') return fail_at(escape_at, "lone surrogate in unicode escape");
      s += 2;
      uint32_t low = 0;
      if (!read_hex4(&low)) return false;
      if (low < 0xDC00 || low > 0xDFFF) {
        return fail_at(escape_at, "lone surrogate in unicode escape");
      }
      unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
    }
    append_utf8(unit, &scratch_);
  }
}

bool Reader::read_string(std::string* out) {
  std::string_view v;
  if (!read_string_view(&v)) return false;
  out->assign(v.data(), v.size());
  return true;
}

bool Reader::read_number(Number* out) {
  if (failed_) return false;
  const char* start = p_;
  const char* s = p_;
  const bool negative = *s == '-';
  if (negative) {
    ++s;
    if (s >= end_) return fail_eof("a value");
  }
  uint64_t mantissa = 0;
  bool overflow = false;
  if (*s == '0') {
    ++s;
    if (s < end_ && is_digit(*s)) {
      return fail_at(static_cast<size_t>(s - 1 - begin_), "leading zeros are not allowed");
    }
  } else if (*s >= '1' && *s <= '9') {
    while (s < end_ && is_digit(*s)) {
      const uint64_t d = static_cast<uint64_t>(*s - '0');
      if (mantissa > (UINT64_MAX - d) / 10) overflow = true;
      mantissa = mantissa * 10 + d;
      ++s;
    }
  } else {
    return fail_at(static_cast<size_t>(start - begin_), "invalid number");
  }
  bool is_float = false;
  if (s < end_ && *s == '.') {
    ++s;
    if (s >= end_) return fail_eof("a value");
    if (!is_digit(*s)) return fail_at(static_cast<size_t>(s - begin_), "invalid number");
    while (s < end_ && is_digit(*s)) ++s;
    is_float = true;
  }
  int64_t exponent = 0;
  if (s < end_ && (*s == 'e' || *s == 'E')) {
    ++s;
    bool exp_negative = false;
    if (s < end_ && (*s == '+' || *s == '-')) {
      exp_negative = *s == '-';
      ++s;
    }
    if (s >= end_) return fail_eof("a value");
    if (!is_digit(*s)) return fail_at(static_cast<size_t>(s - begin_), "invalid number");
    while (s < end_ && is_digit(*s)) {
      if (exponent < 100000) exponent = exponent * 10 + (*s - '0');
      ++s;
    }
    if (exp_negative) exponent = -exponent;
    is_float = true;
  }
  p_ = s;
  out->integer_text = !is_float;
  if (!is_float && !overflow) {
    if (!negative || mantissa == 0) {
      out->kind = Number::Kind::kUint;
      out->u = mantissa;
      return true;
    }
    if (mantissa <= static_cast<uint64_t>(INT64_MAX) + 1) {
      out->kind = Number::Kind::kInt;
      out->i = static_cast<int64_t>(0 - mantissa);
      return true;
    }
  }
  double d = 0;
  const auto r = std::from_chars(start, s, d);
  if (r.ec == std::errc::result_out_of_range) {
    // Overflow is an error; underflow reads as zero. Tell them apart by the
    // decimal magnitude: the position of the first non-zero digit plus the
    // exponent.
    int64_t magnitude = 0;
    bool seen_point = false, found = false;
    int64_t int_digits = 0, frac_zeros = 0;
    for (const char* q = start + (negative ? 1 : 0); q < s && *q != 'e' && *q != 'E'; ++q) {
      if (*q == '.') {
        seen_point = true;
        continue;
      }
      if (!seen_point) {
        if (found || *q != '0') {
          found = true;
          ++int_digits;
        }
      } else if (!found) {
        if (*q != '0') found = true;
        else ++frac_zeros;
      }
    }
    magnitude = int_digits > 0 ? int_digits - 1 : -(frac_zeros + 1);
    if (magnitude + exponent > 0) {
      return fail_at(static_cast<size_t>(start - begin_), "number out of range");
    }
    d = negative ? -0.0 : 0.0;
  } else if (r.ec != std::errc() || !std::isfinite(d)) {
    return fail_at(static_cast<size_t>(start - begin_), "number out of range");
  }
  out->kind = Number::Kind::kDouble;
  out->d = d;
  return true;
}

bool Reader::read_literal(Value* out) {
  if (failed_) return false;
  const char c = *p_;
  const char* word = c == 't' ? "true" : c == 'f' ? "false" : "null";
  const size_t n = std::strlen(word);
  const size_t at = offset();
  for (size_t i = 0; i < n; ++i) {
    if (p_ + i >= end_) return fail_eof("a value");
    if (p_[i] != word[i]) {
      return fail_at(at, c == 't'   ? "expected `true`"
                         : c == 'f' ? "expected `false`"
                                    : "expected `null`");
    }
  }
  p_ += n;
  if (c == 'n') *out = Value();
  else *out = Value(c == 't');
  return true;
}

bool Reader::skip_value() {
  const int c = peek_value();
  switch (c) {
    case -1:
      return false;
    case '{': {
      if (!enter_object()) return false;
      std::string_view key;
      bool done = false;
      for (bool first = true;; first = false) {
        if (!next_member(first, &key, &done)) return false;
        if (done) return true;
        if (!skip_value()) return false;
      }
    }
    case '[': {
      if (!enter_array()) return false;
      bool done = false;
      for (bool first = true;; first = false) {
        if (!next_element(first, &done)) return false;
        if (done) return true;
        if (!skip_value()) return false;
      }
    }
    case '"': {
      std::string_view s;
      return read_string_view(&s);
    }
    case 't':
    case 'f':
    case 'n': {
      Value v;
      return read_literal(&v);
    }
    default:
      if (c == '-' || is_digit(static_cast<char>(c))) {
        Number n;
        return read_number(&n);
      }
      return fail_at(offset(), "expected value");
  }
}

bool Reader::read_value(Value* out) {
  const int c = peek_value();
  switch (c) {
    case -1:
      return false;
    case '{': {
      if (!enter_object()) return false;
      Object obj;
      std::string_view key;
      bool done = false;
      for (bool first = true;; first = false) {
        if (!next_member(first, &key, &done)) return false;
        if (done) break;
        obj.emplace_back(std::string(key), Value());
        if (!read_value(&obj.back().second)) return false;
      }
      *out = Value(std::move(obj));
      return true;
    }
    case '[': {
      if (!enter_array()) return false;
      Array arr;
      bool done = false;
      for (bool first = true;; first = false) {
        if (!next_element(first, &done)) return false;
        if (done) break;
        arr.emplace_back();
        if (!read_value(&arr.back())) return false;
      }
      *out = Value(std::move(arr));
      return true;
    }
    case '"': {
      std::string_view s;
      if (!read_string_view(&s)) return false;
      *out = Value(s);
      return true;
    }
    case 't':
    case 'f':
    case 'n':
      return read_literal(out);
    default:
      if (c == '-' || is_digit(static_cast<char>(c))) {
        Number n;
        if (!read_number(&n)) return false;
        switch (n.kind) {
          case Number::Kind::kUint: *out = Value(n.u); break;
          case Number::Kind::kInt: *out = Value(n.i); break;
          case Number::Kind::kDouble: *out = Value(n.d); break;
        }
        return true;
      }
      return fail_at(offset(), "expected value");
  }
}

bool Reader::finish() {
  if (failed_) return false;
  if (peek() >= 0) return fail_at(offset(), "trailing characters");
  return true;
}

}  // namespace quor::json
