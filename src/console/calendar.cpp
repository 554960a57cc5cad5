#include "console/calendar.h"

namespace console {

std::tm tm_of(const DateTime& t) {
  std::tm tm{};
  tm.tm_year = t.date.year - 1900;
  tm.tm_mon = t.date.month - 1;
  tm.tm_mday = t.date.day;
  tm.tm_hour = t.hour;
  tm.tm_min = t.minute;
  tm.tm_sec = t.second;
  tm.tm_isdst = -1;
  return tm;
}

DateTime date_time_of(const std::tm& tm, int microsecond) {
  return DateTime{{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday},
                  tm.tm_hour,
                  tm.tm_min,
                  tm.tm_sec,
                  microsecond};
}

} // namespace console
