#include "core/schedule/timezone.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace quor {
namespace {

TEST(FindTimeZone, DatabaseNamesAndLinks) {
  for (const char* name : {"UTC", "Etc/UTC", "Europe/Berlin", "America/New_York", "US/Eastern",
                           "Europe/Kiev", "Etc/GMT+5", "America/Argentina/Buenos_Aires",
                           "Australia/Lord_Howe", "GMT"}) {
    auto r = find_time_zone(name);
    ASSERT_TRUE(r.ok()) << name << ": " << r.error().message();
  }
  auto berlin = find_time_zone("Europe/Berlin");
  ASSERT_TRUE(berlin.ok());
  // 2024-07-01T12:00:00Z is 14:00 in Berlin (summer time).
  auto local = cctz::convert(cctz::time_point<cctz::seconds>(cctz::seconds(1719835200)), *berlin);
  EXPECT_EQ(local, cctz::civil_second(2024, 7, 1, 14, 0, 0));
}

TEST(FindTimeZone, RejectsNamesOutsideTheDatabase) {
  const std::string names[] = {
      "europe/berlin", "EUROPE/BERLIN", "utc", "Mars/Base", "", "localtime", "posixrules",
      "/usr/share/zoneinfo/UTC", "/etc/localtime", "../zoneinfo/UTC", "Europe/../UTC",
      "./UTC", "Europe//Berlin", "Europe/Berlin/", " UTC", "UTC ", "posix/Europe/Berlin",
      "right/UTC", "Europe", "zone.tab", "tzdata.zi", "UTC+05:00", "+05:00", "Fixed/UTC+05:00",
      "EST5EDT,M3.2.0,M11.1.0", ":UTC", std::string("UTC\0x", 5),
  };
  for (const std::string& name : names) {
    auto r = find_time_zone(name);
    ASSERT_FALSE(r.ok()) << "'" << name << "'";
    EXPECT_EQ(r.error().kind(), ErrorKind::kInvalidTimezone);
    EXPECT_EQ(r.error().message(), "invalid timezone: " + name);
    EXPECT_EQ(r.error().detail(), name);
  }
}

TEST(FindTimeZone, ConcurrentLookups) {
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  const char* names[] = {"Asia/Tokyo", "Europe/Paris", "bogus/zone", "America/Chicago"};
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        const char* name = names[(t + i) % 4];
        bool ok = find_time_zone(name).ok();
        if (ok != (std::string(name) != "bogus/zone")) ++failures;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
}  // namespace quor
