#include "checks/utf8_expect.h"

#include <cstddef>

namespace fuzz_checks {
namespace {

bool in(unsigned char b, unsigned lo, unsigned hi) {
  return b >= lo && b <= hi;
}

// Length of the well-formed sequence at the start of text, 0 for none; the
// byte ranges of table 3-7, second bytes narrowed after E0, ED, F0 and F4.
std::size_t sequence_length(std::string_view text) {
  const auto at = [&text](std::size_t i) {
    return static_cast<unsigned char>(text[i]);
  };
  const unsigned char b0 = at(0);
  if (b0 <= 0x7F) {
    return 1;
  }
  std::size_t length = 0;
  unsigned lo = 0x80;
  unsigned hi = 0xBF;
  if (in(b0, 0xC2, 0xDF)) {
    length = 2;
  } else if (in(b0, 0xE0, 0xEF)) {
    length = 3;
    lo = b0 == 0xE0 ? 0xA0 : 0x80;
    hi = b0 == 0xED ? 0x9F : 0xBF;
  } else if (in(b0, 0xF0, 0xF4)) {
    length = 4;
    lo = b0 == 0xF0 ? 0x90 : 0x80;
    hi = b0 == 0xF4 ? 0x8F : 0xBF;
  } else {
    return 0;
  }
  if (text.size() < length || !in(at(1), lo, hi)) {
    return 0;
  }
  for (std::size_t i = 2; i < length; ++i) {
    if (!in(at(i), 0x80, 0xBF)) {
      return 0;
    }
  }
  return length;
}

} // namespace

std::string well_formed_utf8(std::string_view utf8) {
  std::string out;
  std::size_t i = 0;
  while (i < utf8.size()) {
    const std::size_t length = sequence_length(utf8.substr(i));
    if (length == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
    } else {
      out.append(utf8.substr(i, length));
      i += length;
    }
  }
  return out;
}

} // namespace fuzz_checks
