#include "core/schedule/duration.h"

#include <string>

#include "core/instant.h"

namespace quor {

namespace {

bool is_unicode_space(uint32_t c) {
  switch (c) {
    case 0x09: case 0x0A: case 0x0B: case 0x0C: case 0x0D: case 0x20:
    case 0x85: case 0xA0: case 0x1680:
    case 0x2028: case 0x2029: case 0x202F: case 0x205F: case 0x3000:
      return true;
    default:
      return c >= 0x2000 && c <= 0x200A;
  }
}

// Length of the white-space character that starts at text[i], or 0.
size_t space_at_front(std::string_view text) {
  if (text.empty()) return 0;
  unsigned char b0 = text[0];
  if (b0 < 0x80) return is_unicode_space(b0) ? 1 : 0;
  size_t len = (b0 & 0xE0) == 0xC0 ? 2 : (b0 & 0xF0) == 0xE0 ? 3 : 0;
  if (len == 0 || text.size() < len) return 0;  // no white space is 4 bytes
  uint32_t c = b0 & (len == 2 ? 0x1F : 0x0F);
  for (size_t k = 1; k < len; ++k) {
    unsigned char b = text[k];
    if ((b & 0xC0) != 0x80) return 0;
    c = (c << 6) | (b & 0x3F);
  }
  return is_unicode_space(c) ? len : 0;
}

// Length of the white-space character that ends the text, or 0.
size_t space_at_back(std::string_view text) {
  for (size_t len = 1; len <= 3 && len <= text.size(); ++len) {
    std::string_view tail = text.substr(text.size() - len);
    unsigned char b0 = tail[0];
    if ((b0 & 0xC0) == 0x80) continue;  // a continuation byte: look further back
    return space_at_front(tail) == len ? len : 0;
  }
  return 0;
}

}  // namespace

std::string_view trim_unicode_space(std::string_view text) {
  while (size_t n = space_at_front(text)) text.remove_prefix(n);
  while (size_t n = space_at_back(text)) text.remove_suffix(n);
  return text;
}

Result<uint64_t> parse_duration(std::string_view text) {
  std::string_view t = trim_unicode_space(text);
  uint64_t unit = 0;
  switch (t.empty() ? '\0' : t.back()) {
    case 's': unit = 1; break;
    case 'm': unit = 60; break;
    case 'h': unit = 3600; break;
    case 'd': unit = 86400; break;
    default:
      return EngineError::invalid_cron("duration must end with s/m/h/d: " + std::string(t));
  }
  auto invalid = [&] { return EngineError::invalid_cron("invalid duration: " + std::string(t)); };
  std::string_view digits = t.substr(0, t.size() - 1);
  if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
  if (digits.empty()) return invalid();
  uint64_t n = 0;
  for (char ch : digits) {
    if (ch < '0' || ch > '9') return invalid();
    uint64_t d = static_cast<uint64_t>(ch - '0');
    if (n > (UINT64_MAX - d) / 10) return invalid();  // above 2^64 - 1
    n = n * 10 + d;
  }
  if (n > Instant::kMaxSpanSeconds / unit) return invalid();
  return n * unit;
}

}  // namespace quor
