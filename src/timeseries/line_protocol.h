#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace timeseries {

/// An instant as microseconds since the Unix epoch, written as a timestamp
/// field.
struct TimestampMicros {
  std::int64_t value = 0;
};

/// A column's value; its alternative decides the field: absent (the column is
/// left out of the row), integer (`5i`), float, string, timestamp
/// (`<micros>t`).
using FieldValue = std::
    variant<std::monostate, std::int64_t, double, std::string, TimestampMicros>;

/// One column of a row: its name and value.
struct Column {
  std::string name;
  FieldValue value;
};

/// Longest table or column name the store accepts, in UTF-8 bytes.
inline constexpr std::size_t k_max_name_len = 127;

/// Appends a table or column name, escaping space, ',', '=', '\n', '\r' and
/// '\\'.
void append_name(std::string& out, std::string_view name);

/// Appends a string field: in double quotes, with '\\' before '"', '\\', '\n'
/// and '\r'.
void append_string_field(std::string& out, std::string_view text);

/// Appends a float field: the shortest text that reads back to the same
/// double, or NaN, Infinity, -Infinity.
void append_float_field(std::string& out, double value);

/// Line protocol (version 1) text of whole rows, one line each.
class LineBuffer {
public:
  /// Appends `table col=val,... <at_nanos>\n`, leaving absent columns out.
  /// Throws IngressError for a bad table or column name, a row with no value,
  /// or a negative designated time; the buffer is then as before the call.
  void add_row(std::string_view table,
               std::span<const Column> columns,
               std::int64_t at_nanos);

  /// The buffered text.
  const std::string& text() const { return m_text; }
  /// Number of rows buffered.
  std::size_t rows() const { return m_rows; }
  /// Makes room for this many bytes without moving the text again.
  void reserve(std::size_t bytes) { m_text.reserve(bytes); }
  /// Drops every buffered row.
  void clear() {
    m_text.clear();
    m_rows = 0;
  }

private:
  /// `name=` for the column at this position, checked and escaped once and
  /// reused while rows keep the same name there (they always do).
  const std::string& column_prefix(std::size_t position, std::string_view name);

  struct NamePrefix {
    std::string name;
    std::string prefix;
  };
  std::string m_text;
  std::size_t m_rows = 0;
  std::string m_table;         ///< last table name checked
  std::string m_table_escaped; ///< and its escaped form
  std::vector<NamePrefix> m_prefixes;
};

} // namespace timeseries
