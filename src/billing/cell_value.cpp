#include "billing/cell_value.h"

#include "billing/db_error.h"
#include "console/calendar.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <string>
#include <string_view>

namespace billing {
namespace {

// Type OIDs of the server's catalogue (pg_type).
constexpr Oid k_int8 = 20;
constexpr Oid k_int2 = 21;
constexpr Oid k_int4 = 23;
constexpr Oid k_oid = 26;
constexpr Oid k_float4 = 700;
constexpr Oid k_float8 = 701;
constexpr Oid k_date = 1082;
constexpr Oid k_timestamp = 1114;
constexpr Oid k_timestamptz = 1184;
constexpr Oid k_numeric = 1700;

[[noreturn]] void throw_bad_value(std::string_view kind, std::string_view text) {
  throw DbError("ler resultado do banco de dados: valor " + std::string(kind)
                + " inválido: " + std::string(text));
}

template <typename T>
bool read_number(std::string_view& text, std::size_t digits, T& out) {
  if (text.size() < digits) {
    return false;
  }
  auto [end, ec] = std::from_chars(text.data(), text.data() + digits, out);
  if (ec != std::errc() || end != text.data() + digits) {
    return false;
  }
  text.remove_prefix(digits);
  return true;
}

bool expect(std::string_view& text, char c) {
  if (text.empty() || text.front() != c) {
    return false;
  }
  text.remove_prefix(1);
  return true;
}

// ISO dates as DateStyle ISO writes them: YYYY-MM-DD, more year digits past
// 9999.
bool read_date(std::string_view& text, console::Date& date) {
  const auto dash = text.find('-');
  return dash != std::string_view::npos && dash >= 4
         && read_number(text, dash, date.year) && expect(text, '-')
         && read_number(text, 2, date.month) && expect(text, '-')
         && read_number(text, 2, date.day);
}

bool read_time(std::string_view& text, console::DateTime& t) {
  if (!(expect(text, ' ') && read_number(text, 2, t.hour) && expect(text, ':')
        && read_number(text, 2, t.minute) && expect(text, ':')
        && read_number(text, 2, t.second))) {
    return false;
  }
  if (!text.empty() && text.front() == '.') {
    text.remove_prefix(1);
    int digits = 0;
    int micro = 0;
    while (!text.empty() && text.front() >= '0' && text.front() <= '9') {
      if (digits < 6) {
        micro = micro * 10 + (text.front() - '0');
      }
      ++digits;
      text.remove_prefix(1);
    }
    for (; digits < 6; ++digits) {
      micro *= 10;
    }
    t.microsecond = micro;
  }
  return true;
}

console::DateTime local_of_utc_offset(console::DateTime t, int offset_seconds) {
  std::tm utc = console::tm_of(t);
  const std::time_t instant = timegm(&utc) - offset_seconds;
  const std::tm local = console::local_tm(instant).value_or(std::tm{});
  return console::date_time_of(local, t.microsecond);
}

// "+HH", "-HH:MM" or "+HH:MM:SS" after a timestamptz.
bool read_offset(std::string_view& text, int& seconds) {
  if (text.empty() || (text.front() != '+' && text.front() != '-')) {
    return false;
  }
  const int sign = text.front() == '-' ? -1 : 1;
  text.remove_prefix(1);
  int hours = 0;
  int minutes = 0;
  int secs = 0;
  if (!read_number(text, 2, hours)) {
    return false;
  }
  if (expect(text, ':') && !read_number(text, 2, minutes)) {
    return false;
  }
  if (expect(text, ':') && !read_number(text, 2, secs)) {
    return false;
  }
  seconds = sign * (hours * 3600 + minutes * 60 + secs);
  return true;
}

} // namespace

console::Value cell_value(const PGresult* result, int row, int column) {
  if (PQgetisnull(result, row, column) != 0) {
    return console::Null{};
  }
  const std::string_view text(
      PQgetvalue(result, row, column),
      static_cast<std::size_t>(PQgetlength(result, row, column)));
  switch (PQftype(result, column)) {
  case k_int2:
  case k_int4:
  case k_int8:
  case k_oid: {
    std::int64_t v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size()) {
      throw_bad_value("inteiro", text);
    }
    return v;
  }
  case k_float4:
  case k_float8:
  case k_numeric: {
    // strtod reads NaN, Infinity and -Infinity as the server writes them;
    // the text is NUL-terminated by libpq.
    char* end = nullptr;
    const double v = std::strtod(text.data(), &end);
    if (end != text.data() + text.size()) {
      throw_bad_value("real", text);
    }
    return v;
  }
  case k_date: {
    std::string_view rest = text;
    console::Date d;
    if (!read_date(rest, d) || !rest.empty()) {
      throw_bad_value("data", text);
    }
    return d;
  }
  case k_timestamp:
  case k_timestamptz: {
    std::string_view rest = text;
    console::DateTime t;
    if (!read_date(rest, t.date) || !read_time(rest, t)) {
      throw_bad_value("data e hora", text);
    }
    if (PQftype(result, column) == k_timestamptz) {
      int offset = 0;
      if (!read_offset(rest, offset) || !rest.empty()) {
        throw_bad_value("data e hora", text);
      }
      return local_of_utc_offset(t, offset);
    }
    if (!rest.empty()) {
      throw_bad_value("data e hora", text);
    }
    return t;
  }
  default:
    return std::string(text);
  }
}

} // namespace billing
