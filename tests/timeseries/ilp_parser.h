#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace test_support {

/// One field of a line, read back from its text.
struct IlpField {
  enum class Kind { integer, real, text, micros };
  std::string name;
  Kind kind = Kind::integer;
  std::string text;        ///< the decoded string, for text
  std::int64_t number = 0; ///< for integer and micros
  double real = 0;
  std::string raw; ///< the value as written
};

/// One line: table, fields in order, designated time in nanoseconds.
struct IlpLine {
  std::string table;
  std::vector<IlpField> fields;
  std::int64_t at = 0;

  /// The field of that name, or nullptr.
  const IlpField* field(std::string_view name) const;
};

/// Reads line protocol (version 1) text the way the store does. Throws
/// std::runtime_error on anything malformed, a missing final line break
/// included.
std::vector<IlpLine> parse_ilp(std::string_view body);

} // namespace test_support
