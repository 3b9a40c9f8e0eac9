#include "core/schedule/cron.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quor {
namespace {

using cctz::civil_second;

TEST(CronParse, ErrorMessages) {
  struct Case {
    std::string expr;  // the user's expression, wrapped as "0 {} *"
    std::string message;
  };
  const std::string kBad = "Invalid cron expression.";
  const std::string kWrap = "Invalid expression: ";
  const Case cases[] = {
      // The expression as a whole.
      {"", kBad},
      {"* * *", kBad},
      {"* * * * * *", kBad},
      {"0 0 * * * * *", kBad},
      {"@daily", kBad},
      {"@hourly", kBad},
      {"1,,2 * * * *", kBad},
      {",1 * * * *", kBad},
      {"1- * * * *", kBad},
      {"-1 * * * *", kBad},
      {"1-2-3 * * * *", kBad},
      {"*/ * * * *", kBad},
      {"*/x * * * *", kBad},
      {"*/-1 * * * *", kBad},
      {"1/2/3 * * * *", kBad},
      {"? * * * *", kBad},  // "?" only in the day fields
      {"** * * * *", kBad},
      {"5am * * * *", kBad},
      {"1;2 * * * *", kBad},
      {"+5 * * * *", kBad},
      {"\uff11 * * * *", kBad},  // full-width digit one
      {"* * * * mon#2", kBad},
      {"* * L * *", kWrap + "The 'Days of Month' field does not support using names. 'L' specified."},
      // Field values.
      {"*/0 * * * *", kWrap + "range step cannot be zero"},
      {"1-5/0 * * * *", kWrap + "range step cannot be zero"},
      {"* 5-3 * * *", kWrap + "Invalid range for Hours: 5-3"},
      {"* * * * fri-mon", kWrap + "Invalid named range for Days of Week: fri-mon"},
      {"* * * DEC-jan *", kWrap + "Invalid named range for Months: DEC-jan"},
      {"* * * 12-jan *", kWrap + "Invalid range for Months: 12-jan"},
      {"* * * foo *", kWrap + "'foo' is not a valid month name."},
      {"* * * sept *", kWrap + "'sept' is not a valid month name."},
      {"* * * * funday", kWrap + "'funday' is not a valid day of the week."},
      {"* * * * mon-xyz", kWrap + "'xyz' is not a valid day of the week."},
      {"abc * * * *", kWrap + "The 'Minutes' field does not support using names. 'abc' specified."},
      {"* noon * * *", kWrap + "The 'Hours' field does not support using names. 'noon' specified."},
      {"* * mon * *", kWrap + "The 'Days of Month' field does not support using names. 'mon' specified."},
      {"0 9 * * 0", kWrap + "Days of Week must be greater than or equal to 1. ('0' specified.)"},
      {"* * 0 * *", kWrap + "Days of Month must be greater than or equal to 1. ('0' specified.)"},
      {"* * * 0 *", kWrap + "Months must be greater than or equal to 1. ('0' specified.)"},
      {"60 * * * *", kWrap + "Minutes must be less than 59. ('60' specified.)"},
      {"* 24 * * *", kWrap + "Hours must be less than 23. ('24' specified.)"},
      {"* * 32 * *", kWrap + "Days of Month must be less than 31. ('32' specified.)"},
      {"* * * 13 *", kWrap + "Months must be less than 12. ('13' specified.)"},
      {"* * * * 8", kWrap + "Days of Week must be less than 7. ('8' specified.)"},
      {"* * * * 1-8", kWrap + "Days of Week must be less than 7. ('8' specified.)"},
      {"070 * * * *", kWrap + "Minutes must be less than 59. ('070' specified.)"},
      {"99999999999999999999 * * * *",
       kWrap + "Minutes must be less than 59. ('99999999999999999999' specified.)"},
      {"70/5 * * * *", kWrap + "Minutes must be less than 59. ('70' specified.)"},
      // The first error from the left wins.
      {"60 24 * * *", kWrap + "Minutes must be less than 59. ('60' specified.)"},
      {"1,60,abc * * * *", kWrap + "Minutes must be less than 59. ('60' specified.)"},
      {"* 24 * * * *", kBad},  // the field count is checked first
  };
  for (const Case& c : cases) {
    auto r = CronExpr::parse_user(c.expr);
    ASSERT_FALSE(r.ok()) << "'" << c.expr << "'";
    EXPECT_EQ(r.error(), c.message) << "'" << c.expr << "'";
  }
}

TEST(CronParse, FullTextFields) {
  // The parser also takes the seven-field text with its own seconds and years.
  struct Case {
    std::string text;
    std::string message;
  };
  const Case cases[] = {
      {"60 * * * * * *", "Invalid expression: Seconds must be less than 59. ('60' specified.)"},
      {"0 * * * * * 1969",
       "Invalid expression: Years must be greater than or equal to 1970. ('1969' specified.)"},
      {"0 * * * * * 2101", "Invalid expression: Years must be less than 2100. ('2101' specified.)"},
      {"0 * * * * * jan",
       "Invalid expression: The 'Years' field does not support using names. 'jan' specified."},
      {"0 * * * * * 2050-2040", "Invalid expression: Invalid range for Years: 2050-2040"},
      {"0 * * * *", "Invalid cron expression."},
  };
  for (const Case& c : cases) {
    auto r = CronExpr::parse(c.text);
    ASSERT_FALSE(r.ok()) << c.text;
    EXPECT_EQ(r.error(), c.message) << c.text;
  }
  auto years = CronExpr::parse("0 0 0 1 1 * 2030,2040-2041");
  ASSERT_TRUE(years.ok());
  EXPECT_EQ(years->next_match(civil_second(2024, 5, 5)), civil_second(2030, 1, 1));
  EXPECT_EQ(years->next_match(civil_second(2030, 1, 1, 0, 0, 1)), civil_second(2040, 1, 1));
  EXPECT_EQ(years->next_match(civil_second(2041, 1, 1, 0, 0, 1)), std::nullopt);
  auto secs = CronExpr::parse("*/20 0 0 1 1 ? 2030");
  ASSERT_TRUE(secs.ok());
  EXPECT_EQ(secs->next_match(civil_second(2030, 1, 1, 0, 0, 21)), civil_second(2030, 1, 1, 0, 0, 40));
}

// Which times an expression matches: items, steps, names, "?", and the
// day-of-month AND day-of-week rule.
TEST(CronParse, Matching) {
  struct Case {
    std::string expr;
    civil_second t;
    bool match;
  };
  const Case cases[] = {
      {"*/15 * * * *", civil_second(2024, 6, 3, 10, 15), true},
      {"*/15 * * * *", civil_second(2024, 6, 3, 10, 0), true},
      {"*/15 * * * *", civil_second(2024, 6, 3, 10, 16), false},
      {"*/25 * * * *", civil_second(2024, 6, 3, 10, 50), true},
      {"*/25 * * * *", civil_second(2024, 6, 3, 10, 55), false},
      {"5/20 * * * *", civil_second(2024, 6, 3, 10, 45), true},
      {"5/20 * * * *", civil_second(2024, 6, 3, 10, 5), true},
      {"5/20 * * * *", civil_second(2024, 6, 3, 10, 15), false},
      {"5/20 * * * *", civil_second(2024, 6, 3, 10, 0), false},  // starts at 5, not 0
      {"10-30/10 * * * *", civil_second(2024, 6, 3, 10, 30), true},
      {"10-30/10 * * * *", civil_second(2024, 6, 3, 10, 40), false},
      {"10-30/10 * * * *", civil_second(2024, 6, 3, 10, 0), false},
      {"1-5/2 * * * *", civil_second(2024, 6, 3, 10, 4), false},
      {"1-5/2 * * * *", civil_second(2024, 6, 3, 10, 5), true},
      {"0,30 * * * *", civil_second(2024, 6, 3, 10, 30), true},
      {"0,30 * * * *", civil_second(2024, 6, 3, 10, 31), false},
      {"5-5 * * * *", civil_second(2024, 6, 3, 10, 5), true},
      {"*/200 * * * *", civil_second(2024, 6, 3, 10, 0), true},
      {"*/200 * * * *", civil_second(2024, 6, 3, 10, 1), false},
      {"0 0 */10 * *", civil_second(2024, 5, 31), true},
      {"0 0 */10 * *", civil_second(2024, 5, 30), false},
      {"0 0 * * */2", civil_second(2024, 6, 1), true},   // Saturday = 7
      {"0 0 * * */2", civil_second(2024, 6, 3), false},  // Monday = 2
      // 1 = Sunday .. 7 = Saturday.
      {"0 9 * * 1", civil_second(2024, 6, 2, 9, 0), true},
      {"0 9 * * 1", civil_second(2024, 6, 3, 9, 0), false},
      {"0 9 * * 7", civil_second(2024, 6, 1, 9, 0), true},
      {"0 12 * * mon-fri", civil_second(2024, 6, 3, 12, 0), true},
      {"0 12 * * mon-fri", civil_second(2024, 6, 1, 12, 0), false},
      {"0 12 * * mon-fri", civil_second(2024, 6, 2, 12, 0), false},
      {"0 12 * * MON-Fri", civil_second(2024, 6, 7, 12, 0), true},
      {"0 12 * * Tues,THURS", civil_second(2024, 6, 6, 12, 0), true},
      {"0 12 * * tuesday-thursday", civil_second(2024, 6, 5, 12, 0), true},
      {"0 12 * * SUNDAY", civil_second(2024, 6, 2, 12, 0), true},
      {"0 12 * * sat/1", civil_second(2024, 6, 1, 12, 0), true},
      // Both day fields must hold the day.
      {"0 12 13 * fri", civil_second(2024, 9, 13, 12, 0), true},
      {"0 12 13 * fri", civil_second(2024, 10, 13, 12, 0), false},
      {"0 12 13 * fri", civil_second(2024, 6, 7, 12, 0), false},
      {"0 0 ? * ?", civil_second(2024, 2, 29), true},
      {"0 0 ?/2 * *", civil_second(2024, 2, 29), true},
      {"0 0 ?/2 * *", civil_second(2024, 2, 28), false},
      // Months by number and name.
      {"0 0 1 JAN,Mar *", civil_second(2024, 3, 1), true},
      {"0 0 1 JAN,Mar *", civil_second(2024, 2, 1), false},
      {"0 0 1 january-march *", civil_second(2024, 2, 1), true},
      {"0 0 1 september *", civil_second(2024, 9, 1), true},
      {"0 0 1 may *", civil_second(2024, 5, 1), true},
      {"0 0 1 */5 *", civil_second(2024, 11, 1), true},
      {"0 0 1 */5 *", civil_second(2024, 10, 1), false},
      // Four fields: any day of week.
      {"* * * *", civil_second(2024, 6, 3, 10, 7), true},
      {"30 9 15 6", civil_second(2024, 6, 15, 9, 30), true},
      // Fires only on second 0.
      {"* * * * *", civil_second(2024, 6, 3, 10, 7, 1), false},
      // Outside the years.
      {"* * * * *", civil_second(1969, 12, 31, 23, 59), false},
      {"* * * * *", civil_second(2101, 1, 1), false},
      {"59 23 31 12 *", civil_second(2100, 12, 31, 23, 59), true},
  };
  for (const Case& c : cases) {
    auto r = CronExpr::parse_user(c.expr);
    ASSERT_TRUE(r.ok()) << c.expr << ": " << r.error();
    EXPECT_EQ(r->matches(c.t), c.match) << c.expr << " at " << c.t;
  }
}

TEST(CronParse, EveryHour) {
  const std::pair<const char*, bool> cases[] = {
      {"* * * * *", true},       {"*/15 * * * *", true},  {"30 */1 * * *", true},
      {"0 0-23 * * *", true},    {"0 0-11,12-23 * * *", true}, {"0 0 * * *", false},
      {"0 */2 * * *", false},    {"0 0-22 * * *", false}, {"0 1-23 * * *", false},
  };
  for (const auto& [expr, every] : cases) {
    auto r = CronExpr::parse_user(expr);
    ASSERT_TRUE(r.ok()) << expr;
    EXPECT_EQ(r->every_hour(), every) << expr;
  }
}

TEST(CronNextMatch, Table) {
  struct Case {
    std::string expr;
    civil_second from;
    std::optional<civil_second> next;
  };
  const Case cases[] = {
      {"*/15 * * * *", civil_second(2024, 6, 3, 10, 7, 12), civil_second(2024, 6, 3, 10, 15)},
      {"*/15 * * * *", civil_second(2024, 6, 3, 10, 15), civil_second(2024, 6, 3, 10, 15)},
      {"*/15 * * * *", civil_second(2024, 6, 3, 23, 45, 1), civil_second(2024, 6, 4, 0, 0)},
      {"0 0 1 1 *", civil_second(2024, 12, 31, 23, 59, 59), civil_second(2025, 1, 1)},
      {"0 12 * * mon-fri", civil_second(2024, 6, 7, 12, 0, 1), civil_second(2024, 6, 10, 12, 0)},
      {"0 12 13 * fri", civil_second(2024, 9, 13, 12, 0, 1), civil_second(2024, 12, 13, 12, 0)},
      {"0 0 31 * *", civil_second(2024, 4, 1), civil_second(2024, 5, 31)},
      {"0 0 29 2 *", civil_second(2024, 3, 1), civil_second(2028, 2, 29)},
      {"0 0 29 2 *", civil_second(2096, 3, 1), std::nullopt},  // 2100 is not a leap year
      {"0 0 29 2 mon", civil_second(2024, 1, 1), civil_second(2044, 2, 29)},
      {"0 0 29 2 mon", civil_second(2044, 2, 29, 0, 0, 1), civil_second(2072, 2, 29)},
      {"0 0 31 2 *", civil_second(1970, 1, 1), std::nullopt},
      {"0 0 30 2 *", civil_second(2024, 1, 1), std::nullopt},
      {"0 0 31 4,6,9,11 *", civil_second(2024, 1, 1), std::nullopt},
      {"59 23 31 12 *", civil_second(2100, 12, 31, 23, 58, 30), civil_second(2100, 12, 31, 23, 59)},
      {"* * * * *", civil_second(2100, 12, 31, 23, 59, 1), std::nullopt},
      {"* * * * *", civil_second(2500, 1, 1), std::nullopt},
      {"* * * * *", civil_second(1900, 6, 1, 12, 30), civil_second(1970, 1, 1)},
      {"30 9 * * 1", civil_second(-5000, 1, 1), civil_second(1970, 1, 4, 9, 30)},  // a Sunday
      {"0 0-5/2 * * *", civil_second(2024, 6, 3, 4, 0, 1), civil_second(2024, 6, 4, 0, 0)},
      {"0 23 * * *", civil_second(2024, 2, 29, 23, 0, 1), civil_second(2024, 3, 1, 23, 0)},
  };
  for (const Case& c : cases) {
    auto r = CronExpr::parse_user(c.expr);
    ASSERT_TRUE(r.ok()) << c.expr;
    EXPECT_EQ(r->next_match(c.from), c.next) << c.expr << " from " << c.from;
  }
}

}  // namespace
}  // namespace quor
