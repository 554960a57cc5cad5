#include "console/calendar.h"

#include <array>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace console {
namespace {

// mktime and localtime_r walk the zone's rules on every call, and a run
// converts three date-times per client each way. A zone's offset changes a
// few times a year at most, so each direction remembers, per day, the offset
// in force for the whole of it, and converts by arithmetic. A day in which
// the offset changes is not remembered and always goes to libc.
constexpr std::int64_t k_day = 86'400;
constexpr std::size_t k_slots = 4096;

// The remembered offsets hold only while TZ says what it said when they were
// found: a test or a caller may change it and call tzset.
class ZoneGuard {
public:
  // True when the remembered offsets may be used; otherwise forgets them
  // all (by moving to a new epoch).
  bool same_zone() {
    const char* tz = std::getenv("TZ");
    const bool has = tz != nullptr;
    if (has == m_has_tz && (!has || m_tz == tz)) {
      return true;
    }
    m_has_tz = has;
    m_tz = has ? tz : "";
    ++m_epoch;
    return false;
  }
  std::uint64_t epoch() const { return m_epoch; }

private:
  bool m_has_tz = false;
  std::string m_tz;
  std::uint64_t m_epoch = 1;
};

thread_local ZoneGuard t_zone;

// One day's offset, as libc found it at the day's start.
struct DaySlot {
  std::uint64_t epoch = 0;
  std::int64_t day = 0;
  long offset = 0;  ///< seconds east of UTC
  std::tm sample{}; ///< localtime at the day's start: isdst and zone name
};

thread_local std::array<DaySlot, k_slots> t_local_days; // keyed by local day
thread_local std::array<DaySlot, k_slots> t_utc_days;   // keyed by UTC day

DaySlot& slot_of(std::array<DaySlot, k_slots>& slots, std::int64_t day) {
  return slots[static_cast<std::size_t>(day)
               & (k_slots - 1)]; // k_slots is a power of two
}

std::int64_t floor_div(std::int64_t a, std::int64_t b) {
  return a / b - ((a % b != 0) && ((a < 0) != (b < 0)) ? 1 : 0);
}

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's
// algorithm); month and day may be out of range, as mktime allows.
std::int64_t days_from_civil(std::int64_t y, int m, int d) {
  y += floor_div(m - 1, 12);
  m = static_cast<int>(((m - 1) % 12 + 12) % 12) + 1;
  y -= m <= 2 ? 1 : 0;
  const std::int64_t era = floor_div(y, 400);
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146'097 + doe - 719'468;
}

struct Civil {
  std::int64_t year;
  int month;
  int day;
};

Civil civil_from_days(std::int64_t z) {
  z += 719'468;
  const std::int64_t era = floor_div(z, 146'097);
  const std::int64_t doe = z - era * 146'097;
  const std::int64_t yoe =
      (doe - doe / 1460 + doe / 36'524 - doe / 146'096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  const int day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  return {yoe + era * 400 + (month <= 2 ? 1 : 0), month, day};
}

std::optional<std::time_t> mktime_of(std::tm tm) {
  const std::time_t seconds = std::mktime(&tm);
  // -1 is also the last second of 1969 UTC, which mktime normalises to 1969.
  if (seconds == -1 && tm.tm_year != 69) {
    return std::nullopt;
  }
  return seconds;
}

std::optional<std::tm> localtime_of(std::time_t seconds) {
  std::tm local{};
  if (localtime_r(&seconds, &local) == nullptr) {
    return std::nullopt;
  }
  return local;
}

// The offset in force for the whole local day, or nullopt when it changes
// within it (or libc cannot tell).
std::optional<long> whole_day_offset(std::int64_t local_day) {
  const Civil c = civil_from_days(local_day);
  std::tm first{};
  first.tm_year = static_cast<int>(c.year - 1900);
  first.tm_mon = c.month - 1;
  first.tm_mday = c.day;
  first.tm_isdst = -1;
  std::tm next = first;
  next.tm_mday += 1;
  const auto first_s = mktime_of(first);
  const auto next_s = mktime_of(next);
  if (!first_s || !next_s || *next_s - *first_s != k_day) {
    return std::nullopt;
  }
  return static_cast<long>(local_day * k_day - *first_s);
}

} // namespace

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

std::optional<std::time_t> local_seconds(const DateTime& t) {
  const bool in_range = t.date.month >= 1 && t.date.month <= 12
                        && t.date.day >= 1 && t.date.day <= 31 && t.hour >= 0
                        && t.hour <= 23 && t.minute >= 0 && t.minute <= 59
                        && t.second >= 0 && t.second <= 59;
  if (!in_range || !t_zone.same_zone()) {
    return mktime_of(tm_of(t));
  }
  const std::int64_t day =
      days_from_civil(t.date.year, t.date.month, t.date.day);
  DaySlot& slot = slot_of(t_local_days, day);
  if (slot.epoch != t_zone.epoch() || slot.day != day) {
    const auto offset = whole_day_offset(day);
    if (!offset) {
      return mktime_of(tm_of(t));
    }
    slot = {t_zone.epoch(), day, *offset, {}};
  }
  const std::int64_t seconds =
      day * k_day + t.hour * 3600 + t.minute * 60 + t.second - slot.offset;
  return static_cast<std::time_t>(seconds);
}

std::optional<std::tm> local_tm(std::time_t seconds) {
  if (!t_zone.same_zone()) {
    return localtime_of(seconds);
  }
  const std::int64_t day = floor_div(seconds, k_day);
  DaySlot& slot = slot_of(t_utc_days, day);
  if (slot.epoch != t_zone.epoch() || slot.day != day) {
    const auto first = localtime_of(static_cast<std::time_t>(day * k_day));
    const auto last =
        localtime_of(static_cast<std::time_t>(day * k_day + k_day - 1));
    if (!first || !last || first->tm_gmtoff != last->tm_gmtoff
        || first->tm_isdst != last->tm_isdst) {
      return localtime_of(seconds);
    }
    slot = {t_zone.epoch(), day, first->tm_gmtoff, *first};
  }
  const std::int64_t local = seconds + slot.offset;
  const std::int64_t local_day = floor_div(local, k_day);
  const auto into = static_cast<int>(local - local_day * k_day);
  const Civil c = civil_from_days(local_day);
  std::tm tm = slot.sample; // isdst, gmtoff and zone of the day
  tm.tm_year = static_cast<int>(c.year - 1900);
  tm.tm_mon = c.month - 1;
  tm.tm_mday = c.day;
  tm.tm_hour = into / 3600;
  tm.tm_min = into / 60 % 60;
  tm.tm_sec = into % 60;
  tm.tm_wday = static_cast<int>(((local_day % 7) + 11) % 7); // 1970-01-01: Thu
  tm.tm_yday = static_cast<int>(local_day - days_from_civil(c.year, 1, 1));
  return tm;
}

} // namespace console
