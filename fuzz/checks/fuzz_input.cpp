#include "checks/fuzz_input.h"

#include <bit>

namespace fuzz_checks {

std::uint8_t FuzzInput::byte() {
  if (empty()) {
    return 0;
  }
  return m_data[m_at++];
}

std::uint64_t FuzzInput::u64() {
  std::uint64_t value = 0;
  for (unsigned shift = 0; shift < 64; shift += 8) {
    value |= static_cast<std::uint64_t>(byte()) << shift;
  }
  return value;
}

std::int64_t FuzzInput::i64() {
  return std::bit_cast<std::int64_t>(u64());
}

double FuzzInput::real() {
  return std::bit_cast<double>(u64());
}

std::string FuzzInput::text(std::size_t max_len) {
  std::size_t length = byte();
  if (length > max_len) {
    length = max_len;
  }
  if (length > left()) {
    length = left();
  }
  std::string out(m_data + m_at, m_data + m_at + length);
  m_at += length;
  return out;
}

std::string FuzzInput::rest() {
  std::string out(m_data + m_at, m_data + m_size);
  m_at = m_size;
  return out;
}

console::Value FuzzInput::value() {
  const auto date = [this] {
    console::Date d;
    d.year = static_cast<int>(static_cast<std::int32_t>(u64()));
    d.month = static_cast<int>(static_cast<std::int8_t>(byte()));
    d.day = static_cast<int>(static_cast<std::int8_t>(byte()));
    return d;
  };
  switch (byte() % 6) {
  case 0:
    return console::Null{};
  case 1:
    return i64();
  case 2:
    return real();
  case 3:
    return text();
  case 4:
    return date();
  default: {
    console::DateTime t;
    t.date = date();
    t.hour = static_cast<int>(static_cast<std::int8_t>(byte()));
    t.minute = static_cast<int>(static_cast<std::int8_t>(byte()));
    t.second = static_cast<int>(static_cast<std::int8_t>(byte()));
    t.microsecond = static_cast<int>(static_cast<std::int32_t>(u64()));
    return t;
  }
  }
}

console::Record FuzzInput::record(std::size_t max_entries) {
  console::Record out;
  const std::size_t entries = byte() % (max_entries + 1);
  for (std::size_t i = 0; i < entries && !empty(); ++i) {
    std::string key = text();
    console::Value v = value();
    out.push_back({std::move(key), std::move(v)});
  }
  return out;
}

} // namespace fuzz_checks
