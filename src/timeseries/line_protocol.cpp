#include "timeseries/line_protocol.h"

#include "console/text_form.h"
#include "timeseries/ingress_error.h"

#include <array>
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

// Byte classes, looked up once per byte: the encoder runs over every text
// of every row, so a table beats a chain of comparisons.
enum ByteClass : unsigned char {
  k_forbidden_in_name = 1,   // in no table or column name
  k_forbidden_in_column = 2, // in no column name ('.', '-')
  k_escaped_in_name = 4,     // needs a backslash in a name
  k_escaped_in_string = 8,   // needs a backslash in a string field
};

constexpr std::array<unsigned char, 256> make_byte_classes() {
  std::array<unsigned char, 256> classes{};
  const auto mark = [&classes](std::string_view bytes, ByteClass cls) {
    for (const char c : bytes) {
      classes[static_cast<unsigned char>(c)] |= cls;
    }
  };
  for (std::size_t c = 0; c <= 0x0F; ++c) {
    classes[c] |= k_forbidden_in_name;
  }
  mark("?,'\"\\/:)(+*%~\r\n\x7F", k_forbidden_in_name);
  mark(".-", k_forbidden_in_column);
  mark(" ,=\n\r\\", k_escaped_in_name);
  mark("\"\\\n\r", k_escaped_in_string);
  return classes;
}

constexpr std::array<unsigned char, 256> k_byte_classes = make_byte_classes();

bool has_class(char c, unsigned char mask) {
  return (k_byte_classes[static_cast<unsigned char>(c)] & mask) != 0;
}

bool is_forbidden_in_any_name(unsigned char c) {
  return has_class(static_cast<char>(c), k_forbidden_in_name);
}

// Appends text with a backslash before each byte of the class, copying the
// runs between them whole.
void append_escaped(std::string& out,
                    std::string_view text,
                    unsigned char mask) {
  std::size_t run = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (has_class(text[i], mask)) {
      out.append(text.data() + run, i - run);
      out.push_back('\\');
      run = i;
    }
  }
  out.append(text.data() + run, text.size() - run);
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
    if (is_forbidden_in_any_name(c)
        || has_class(name[i], k_forbidden_in_column)) {
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
  append_escaped(out, name, k_escaped_in_name);
}

void append_string_field(std::string& out, std::string_view text) {
  out.push_back('"');
  // A line break stays a real line break after the backslash.
  append_escaped(out, text, k_escaped_in_string);
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

const std::string& LineBuffer::column_prefix(std::size_t position,
                                             std::string_view name) {
  if (position >= m_prefixes.size()) {
    m_prefixes.resize(position + 1);
  }
  NamePrefix& cached = m_prefixes[position];
  if (cached.prefix.empty() || cached.name != name) {
    check_column_name(name);
    cached.name = name;
    cached.prefix.clear();
    append_name(cached.prefix, name);
    cached.prefix.push_back('=');
  }
  return cached.prefix;
}

void LineBuffer::add_row(std::string_view table,
                         std::span<const Column> columns,
                         std::int64_t at_nanos) {
  const std::size_t row_start = m_text.size();
  try {
    if (m_table_escaped.empty() || m_table != table) {
      check_table_name(table);
      m_table = table;
      m_table_escaped.clear();
      append_name(m_table_escaped, table);
    }
    if (at_nanos < 0) {
      throw IngressError("Timestamp " + std::to_string(at_nanos)
                         + " is negative. It must be >= 0.");
    }
    m_text += m_table_escaped;
    char separator = ' ';
    for (std::size_t i = 0; i < columns.size(); ++i) {
      const Column& column = columns[i];
      if (std::holds_alternative<std::monostate>(column.value)) {
        continue;
      }
      const std::string& prefix = column_prefix(i, column.name);
      m_text.push_back(separator);
      separator = ',';
      m_text += prefix;
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
