#include "core/schedule/duration.h"

#include <gtest/gtest.h>

#include <string>

namespace quor {
namespace {

TEST(ParseDuration, Accepted) {
  struct Case {
    std::string text;
    uint64_t seconds;
  };
  const Case cases[] = {
      {"30s", 30},
      {"  5m  ", 300},
      {"2h", 7200},
      {"1d", 86400},
      {"+7s", 7},
      {"0s", 0},
      {"007s", 7},
      {"\t\n10s\r\v\f", 10},
      {"\u00a05m\u3000", 300},          // no-break space, ideographic space
      {"\u2003\u200a1h\u2028\u0085", 3600},  // em space, hair space, line sep, NEL
      {"9223372036854775s", 9223372036854775ULL},  // the largest span
      {"153722867280912m", 153722867280912ULL * 60},
      {"106751991167d", 106751991167ULL * 86400},
  };
  for (const Case& c : cases) {
    auto r = parse_duration(c.text);
    ASSERT_TRUE(r.ok()) << c.text << ": " << r.error().message();
    EXPECT_EQ(*r, c.seconds) << c.text;
  }
}

TEST(ParseDuration, Rejected) {
  struct Case {
    std::string text;
    std::string message;  // after "invalid cron expression: "
  };
  const Case cases[] = {
      {"10", "duration must end with s/m/h/d: 10"},
      {"", "duration must end with s/m/h/d: "},
      {" \u00a0 ", "duration must end with s/m/h/d: "},
      {"5S", "duration must end with s/m/h/d: 5S"},
      {"5M", "duration must end with s/m/h/d: 5M"},
      {"5w", "duration must end with s/m/h/d: 5w"},
      {"5\u00b5", "duration must end with s/m/h/d: 5\u00b5"},
      {"s", "invalid duration: s"},
      {"+s", "invalid duration: +s"},
      {"++5s", "invalid duration: ++5s"},
      {"-5m", "invalid duration: -5m"},
      {"1.5h", "invalid duration: 1.5h"},
      {"5 m", "invalid duration: 5 m"},
      {" 5\u00a0m ", "invalid duration: 5\u00a0m"},
      {"1e3s", "invalid duration: 1e3s"},
      {"0x10s", "invalid duration: 0x10s"},
      {"\uff15s", "invalid duration: \uff15s"},  // full-width digit five
      {"9223372036854776s", "invalid duration: 9223372036854776s"},  // one above the span
      {"153722867280913m", "invalid duration: 153722867280913m"},
      {"106751991168d", "invalid duration: 106751991168d"},
      {"18446744073709551615s", "invalid duration: 18446744073709551615s"},  // 2^64 - 1
      {"18446744073709551616s", "invalid duration: 18446744073709551616s"},  // 2^64
      {"213503982334602d", "invalid duration: 213503982334602d"},  // product wraps 64 bits
      {"99999999999999999999999999h", "invalid duration: 99999999999999999999999999h"},
  };
  for (const Case& c : cases) {
    auto r = parse_duration(c.text);
    ASSERT_FALSE(r.ok()) << c.text;
    EXPECT_EQ(r.error().kind(), ErrorKind::kInvalidCron) << c.text;
    EXPECT_EQ(r.error().message(), "invalid cron expression: " + c.message) << c.text;
  }
}

TEST(ParseDuration, UnitIsOnlyTheLastCharacter) {
  // "5 ms" ends with "s", so the number is "5 m", which is malformed.
  auto r = parse_duration(" 5 ms ");
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(), "invalid cron expression: invalid duration: 5 ms");
}

TEST(TrimUnicodeSpace, KeepsInvalidUtf8AndInnerSpace) {
  EXPECT_EQ(trim_unicode_space("\xc2 5s"), "\xc2 5s");  // truncated sequence is not space
  EXPECT_EQ(trim_unicode_space("5s\xa0"), "5s\xa0");    // a lone continuation byte
  EXPECT_EQ(trim_unicode_space("\xe3\x80"), "\xe3\x80");  // U+3000 cut short
  EXPECT_EQ(trim_unicode_space(" a b "), "a b");
  EXPECT_EQ(trim_unicode_space("\u200b5s"), "\u200b5s");  // zero-width space is not white space
}

}  // namespace
}  // namespace quor
