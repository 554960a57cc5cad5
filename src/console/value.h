#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace console {

/// A calendar date without time zone.
struct Date {
  int year = 1970;
  int month = 1;
  int day = 1;
  friend bool operator==(const Date&, const Date&) = default;
};

/// A local date and time of day without time zone; microseconds kept as read.
struct DateTime {
  Date date;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int microsecond = 0;
  friend bool operator==(const DateTime&, const DateTime&) = default;
};

/// The null of the billing data and of the records; printed as None.
using Null = std::monostate;

/// One value as the program reads, keeps and prints it. Its alternative is its
/// kind.
using Value =
    std::variant<Null, std::int64_t, double, std::string, Date, DateTime>;

/// One (macro name, value) entry of a record.
struct Entry {
  std::string key;
  Value value;
};

/// An ordered sequence of entries; consumers see the entries in this order.
using Record = std::vector<Entry>;

} // namespace console
