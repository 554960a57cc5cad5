#pragma once

#include "console/value.h"

#include <ctime>

namespace console {

/// The broken-down time of a date-time (microseconds dropped), with
/// tm_isdst -1 so that mktime lets the zone's rules decide daylight saving.
std::tm tm_of(const DateTime& t);

/// The date-time of a broken-down time, with the given microseconds.
DateTime date_time_of(const std::tm& tm, int microsecond = 0);

} // namespace console
