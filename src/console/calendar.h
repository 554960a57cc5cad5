#pragma once

#include "console/value.h"

#include <ctime>
#include <optional>

namespace console {

/// The broken-down time of a date-time (microseconds dropped), with
/// tm_isdst -1 so that mktime lets the zone's rules decide daylight saving.
std::tm tm_of(const DateTime& t);

/// The date-time of a broken-down time, with the given microseconds.
DateTime date_time_of(const std::tm& tm, int microsecond = 0);

/// Seconds since the epoch of a local date-time (microseconds dropped), as
/// mktime reads it with tm_isdst -1; nullopt where mktime cannot.
std::optional<std::time_t> local_seconds(const DateTime& t);

/// The local broken-down time of an instant, as localtime_r gives it;
/// nullopt where it cannot.
std::optional<std::tm> local_tm(std::time_t seconds);

} // namespace console
