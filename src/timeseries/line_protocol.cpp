#include "timeseries/line_protocol.h"

#include "console/text_form.h"
#include "timeseries/ingress_error.h"

#include <charconv>
#include <cmath>

namespace timeseries {
namespace {

void append_int(std::string& out, std::int64_t value) {
  char digits[24];
  const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
  (void)ec; // 24 chars always hold an int64
  out.append(digits, end);
}

bool is_forbidden_in_any_name(unsigned char c) {
  switch (c) {
  case '?':
  case ',':
  case '\'':
  case '"':
  case '\\':
  case '/':
  case ':':
  case ')':
  case '(':
  case '+':
  case '*':
  case '%':
  case '~':
  case '\r':
  case '\n':
  case '\0':
  case 0x7F:
    return true;
  default:
    return c <= 0x0F;
  }
}

bool has_bom(std::string_view name) {
  return name.find("\xEF\xBB\xBF") != std::string_view::npos;
}

std::string quoted(std::string_view name) {
  return "\"" + std::string(name) + "\"";
}

// The store makes a directory of each table and a file of each column, so
// names carry the file system's restrictions.
void check_table_name(std::string_view name) {
  if (name.empty()) {
    throw IngressError(
        "Bad string \"\": Table names must have a non-zero length.");
  }
  if (name.size() > k_max_name_len) {
    throw IngressError("Bad name: " + quoted(name)
                       + ": Too long (max 127 characters)");
  }
  for (std::size_t i = 0; i < name.size(); ++i) {
    const auto c = static_cast<unsigned char>(name[i]);
    const bool bad_dot =
        c == '.' && (i == 0 || i + 1 == name.size() || name[i - 1] == '.');
    if (is_forbidden_in_any_name(c) || bad_dot) {
      throw IngressError("Bad string " + quoted(name)
                         + ": Table names can't contain a "
                         + quoted(name.substr(i, 1))
                         + " character, which was found at byte position "
                         + std::to_string(i) + ".");
    }
  }
  if (has_bom(name)) {
    throw IngressError("Bad string " + quoted(name)
                       + ": Table names can't contain a UTF-8 BOM.");
  }
}

void check_column_name(std::string_view name) {
  if (name.empty()) {
    throw IngressError(
        "Bad string \"\": Column names must have a non-zero length.");
  }
  if (name.size() > k_max_name_len) {
    throw IngressError("Bad name: " + quoted(name)
                       + ": Too long (max 127 characters)");
  }
  for (std::size_t i = 0; i < name.size(); ++i) {
    const auto c = static_cast<unsigned char>(name[i]);
    if (is_forbidden_in_any_name(c) || c == '.' || c == '-') {
      throw IngressError("Bad string " + quoted(name)
                         + ": Column names can't contain a "
                         + quoted(name.substr(i, 1))
                         + " character, which was found at byte position "
                         + std::to_string(i) + ".");
    }
  }
  if (has_bom(name)) {
    throw IngressError("Bad string " + quoted(name)
                       + ": Column names can't contain a UTF-8 BOM.");
  }
}

void append_field(std::string& out, const FieldValue& value) {
  if (const auto* integer = std::get_if<std::int64_t>(&value)) {
    append_int(out, *integer);
    out.push_back('i');
  } else if (const auto* real = std::get_if<double>(&value)) {
    append_float_field(out, *real);
  } else if (const auto* text = std::get_if<std::string>(&value)) {
    append_string_field(out, *text);
  } else if (const auto* micros = std::get_if<TimestampMicros>(&value)) {
    append_int(out, micros->value);
    out.push_back('t');
  }
}

} // namespace

void append_name(std::string& out, std::string_view name) {
  for (const char c : name) {
    if (c == ' ' || c == ',' || c == '=' || c == '\n' || c == '\r'
        || c == '\\') {
      out.push_back('\\');
    }
    out.push_back(c);
  }
}

void append_string_field(std::string& out, std::string_view text) {
  out.push_back('"');
  for (const char c : text) {
    // A line break stays a real line break after the backslash.
    if (c == '"' || c == '\\' || c == '\n' || c == '\r') {
      out.push_back('\\');
    }
    out.push_back(c);
  }
  out.push_back('"');
}

void append_float_field(std::string& out, double value) {
  if (std::isnan(value)) {
    out += "NaN";
  } else if (std::isinf(value)) {
    out += value > 0 ? "Infinity" : "-Infinity";
  } else {
    // float_text writes 1e+16 where ryu writes 1e16; the store reads both.
    out += console::float_text(value);
  }
}

void LineBuffer::add_row(std::string_view table,
                         std::span<const Column> columns,
                         std::int64_t at_nanos) {
  const std::size_t row_start = m_text.size();
  try {
    check_table_name(table);
    if (at_nanos < 0) {
      throw IngressError("Timestamp " + std::to_string(at_nanos)
                         + " is negative. It must be >= 0.");
    }
    append_name(m_text, table);
    char separator = ' ';
    for (const Column& column : columns) {
      if (std::holds_alternative<std::monostate>(column.value)) {
        continue;
      }
      check_column_name(column.name);
      m_text.push_back(separator);
      separator = ',';
      append_name(m_text, column.name);
      m_text.push_back('=');
      append_field(m_text, column.value);
    }
    if (separator == ' ') {
      throw IngressError("State error: Bad call to `at`, should have called "
                         "`symbol` or `column` before.");
    }
    m_text.push_back(' ');
    append_int(m_text, at_nanos);
    m_text.push_back('\n');
  } catch (...) {
    m_text.resize(row_start);
    throw;
  }
  ++m_rows;
}

} // namespace timeseries
