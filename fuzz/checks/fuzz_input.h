#pragma once

#include "console/value.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzz_checks {

/// Reads typed values off the fuzzer's bytes, front to back. Past the end
/// every read gives zeros or empty texts, so any input is a whole input.
class FuzzInput {
public:
  FuzzInput(const std::uint8_t* data, std::size_t size)
      : m_data(data), m_size(size) {}

  bool empty() const { return m_at >= m_size; }
  std::size_t left() const { return m_size - m_at; }

  std::uint8_t byte();
  /// Eight bytes, little-endian; missing ones are zero.
  std::uint64_t u64();
  std::int64_t i64();
  /// The bits of u64() as a double.
  double real();
  /// A length byte (at most max_len) and that many bytes.
  std::string text(std::size_t max_len = 255);
  /// Everything not read yet.
  std::string rest();

  /// A value of any kind: null, integer, float, text, date or date-time (any
  /// field values, even impossible ones).
  console::Value value();
  /// A record of up to max_entries entries with text keys.
  console::Record record(std::size_t max_entries = 16);

private:
  const std::uint8_t* m_data;
  std::size_t m_size;
  std::size_t m_at = 0;
};

} // namespace fuzz_checks
