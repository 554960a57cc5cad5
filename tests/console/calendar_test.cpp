// The remembered conversions must give what mktime and localtime_r give, in
// zones with daylight saving, half-hour and 45-minute offsets, and in the
// 19th century's local mean times, across whole years of instants.
#include "console/calendar.h"

#include <cstdlib>
#include <ctime>
#include <gtest/gtest.h>
#include <optional>
#include <string>

namespace {

using console::DateTime;

class ZoneScope {
public:
  explicit ZoneScope(const char* zone) {
    if (const char* tz = std::getenv("TZ")) {
      m_saved = tz;
    }
    ::setenv("TZ", zone, 1);
    ::tzset();
  }
  ~ZoneScope() {
    if (m_saved) {
      ::setenv("TZ", m_saved->c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
    ::tzset();
  }
  ZoneScope(const ZoneScope&) = delete;
  ZoneScope& operator=(const ZoneScope&) = delete;

private:
  std::optional<std::string> m_saved;
};

std::tm direct_local(std::time_t s) {
  std::tm tm{};
  localtime_r(&s, &tm);
  return tm;
}

DateTime wall(const std::tm& tm) {
  return console::date_time_of(tm);
}

bool same_wall(const std::tm& a, const std::tm& b) {
  return a.tm_year == b.tm_year && a.tm_mon == b.tm_mon
         && a.tm_mday == b.tm_mday && a.tm_hour == b.tm_hour
         && a.tm_min == b.tm_min && a.tm_sec == b.tm_sec;
}

// Steps through a year of instants (an odd step, so every minute and second
// of the quarter-hours come up) and checks both directions.
void check_year(const char* zone, int year) {
  const ZoneScope scope(zone);
  std::tm start{};
  start.tm_year = year - 1900;
  start.tm_mday = 1;
  const std::time_t from = timegm(&start);
  const std::time_t to = from + 366 * 86'400;
  int checked = 0;
  for (std::time_t s = from; s < to; s += 787) {
    const std::tm expected = direct_local(s);
    const auto got = console::local_tm(s);
    ASSERT_TRUE(got.has_value()) << zone << " " << s;
    ASSERT_TRUE(same_wall(*got, expected)) << zone << " instant " << s;
    EXPECT_EQ(got->tm_isdst, expected.tm_isdst) << zone << " " << s;

    // Back from the wall time: the same instant, or, in the hour a clock
    // turned back, the other instant showing the same wall time.
    const DateTime local = wall(expected);
    const auto back = console::local_seconds(local);
    ASSERT_TRUE(back.has_value()) << zone << " " << s;
    if (*back != s) {
      EXPECT_TRUE(same_wall(direct_local(*back), expected))
          << zone << " wall time of " << s << " read back as " << *back;
    }
    // And in agreement with mktime itself, apart from that same ambiguity.
    std::tm fields = console::tm_of(local);
    const std::time_t by_mktime = std::mktime(&fields);
    if (*back != by_mktime) {
      EXPECT_TRUE(same_wall(direct_local(by_mktime), direct_local(*back)))
          << zone << " " << s;
    }
    ++checked;
  }
  EXPECT_GT(checked, 40'000);
}

TEST(Calendar, AgreesWithLibcAcrossYearsInZonesOfEveryShape) {
  check_year("America/Sao_Paulo", 2018);   // DST starting at midnight
  check_year("Europe/London", 2024);       // at 01:00 UTC
  check_year("Australia/Lord_Howe", 2024); // a half-hour change
  check_year("Asia/Kathmandu", 1986);      // +05:30 to +05:45
  check_year("America/St_Johns", 2024);    // -03:30 with DST
  check_year("America/Sao_Paulo", 1913);   // local mean time -03:06:28 ends
  check_year("UTC", 2024);
}

TEST(Calendar, GapTimesMoveForwardAsMktimeMovesThem) {
  const ZoneScope scope("America/Sao_Paulo");
  // 2018-11-04 00:00 to 01:00 did not exist; 00:30 is read as 01:30.
  const DateTime gap{{2018, 11, 4}, 0, 30, 15, 0};
  const auto seconds = console::local_seconds(gap);
  ASSERT_TRUE(seconds.has_value());
  const auto local = console::local_tm(*seconds);
  ASSERT_TRUE(local.has_value());
  EXPECT_EQ(local->tm_hour, 1);
  EXPECT_EQ(local->tm_min, 30);
  EXPECT_EQ(local->tm_sec, 15);
}

TEST(Calendar, AChangeOfZoneIsSeenAtOnce) {
  const DateTime noon{{2024, 7, 1}, 12, 0, 0, 0};
  std::time_t in_utc = 0;
  {
    const ZoneScope scope("UTC");
    in_utc = console::local_seconds(noon).value();
  }
  const ZoneScope scope("America/Sao_Paulo");
  EXPECT_EQ(console::local_seconds(noon).value(), in_utc + 3 * 3600);
  EXPECT_EQ(console::local_tm(in_utc)->tm_hour, 9);
}

} // namespace
