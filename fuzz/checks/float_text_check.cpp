#include "checks/checks.h"
#include "checks/fuzz_input.h"
#include "console/text_form.h"

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace fuzz_checks {
namespace {

// The significant digits of a decimal text: no sign, point or exponent, no
// leading or trailing zeros.
std::string significant_digits(std::string_view text) {
  const auto e = text.find_first_of("eE");
  std::string digits;
  for (const char c : text.substr(0, e)) {
    if (c >= '0' && c <= '9') {
      digits.push_back(c);
    }
  }
  const auto first = digits.find_first_not_of('0');
  if (first == std::string::npos) {
    return "0";
  }
  const auto last = digits.find_last_not_of('0');
  return digits.substr(first, last - first + 1);
}

bool all_digits(std::string_view text) {
  if (text.empty()) {
    return false;
  }
  for (const char c : text) {
    if (c < '0' || c > '9') {
      return false;
    }
  }
  return true;
}

void check_fixed_form(const std::string& text, const std::string& context) {
  require(text.find_first_of("eE") == std::string::npos,
          "fixed form has an exponent: " + context);
  const auto point = text.find('.');
  require(point != std::string::npos, "fixed form without '.': " + context);
  std::string_view whole(text.data(), point);
  if (!whole.empty() && whole.front() == '-') {
    whole.remove_prefix(1);
  }
  require(all_digits(whole), "no digits before '.': " + context);
  require(whole.size() == 1 || whole.front() != '0',
          "leading zero before '.': " + context);
  require(all_digits(std::string_view(text).substr(point + 1)),
          "no digits after '.': " + context);
}

void check_exponent_form(const std::string& text, const std::string& context) {
  const auto e = text.find('e');
  require(e != std::string::npos, "exponent form without 'e': " + context);
  require(e + 1 < text.size() && (text[e + 1] == '+' || text[e + 1] == '-'),
          "exponent without a sign: " + context);
  const std::string_view exponent = std::string_view(text).substr(e + 2);
  require(all_digits(exponent) && exponent.size() >= 2,
          "exponent of fewer than two digits: " + context);
  require(exponent.size() == 2 || exponent.front() != '0',
          "exponent with a needless zero: " + context);
}

} // namespace

int check_float_text(const std::uint8_t* data, std::size_t size) {
  FuzzInput input(data, size);
  const double value = input.real();
  const std::string text = console::float_text(value);
  std::array<char, 32> shortest{};
  const auto [end, ec] =
      std::to_chars(shortest.data(), shortest.data() + shortest.size(), value);
  const std::string context =
      "\"" + text + "\" for " + std::string(shortest.data(), end);

  if (std::isnan(value)) {
    require(text == "nan", "nan written as " + context);
    return 0;
  }
  if (std::isinf(value)) {
    require(text == (value < 0 ? "-inf" : "inf"), "infinity as " + context);
    return 0;
  }
  // Read back with the C library, independently of std::from_chars.
  char* parsed_end = nullptr;
  const double back = std::strtod(text.c_str(), &parsed_end);
  require(parsed_end == text.c_str() + text.size(),
          "strtod stops early in " + context);
  require(std::bit_cast<std::uint64_t>(back)
              == std::bit_cast<std::uint64_t>(value),
          "does not read back to the same bits: " + context);
  // Shortest: the same value rounded by printf to one digit fewer no longer
  // reads back.
  const std::size_t digits = significant_digits(text).size();
  if (digits > 1) {
    std::array<char, 64> fewer{};
    std::snprintf(fewer.data(),
                  fewer.size(),
                  "%.*e",
                  static_cast<int>(digits) - 2,
                  value);
    require(std::strtod(fewer.data(), nullptr) != value,
            "not the shortest digits: " + context + " (" + fewer.data()
                + " reads back too)");
  }
  require(std::signbit(value) == (text.front() == '-'),
          "sign lost: " + context);

  const double magnitude = std::fabs(value);
  if (magnitude == 0.0 || (magnitude >= 1e-4 && magnitude < 1e16)) {
    check_fixed_form(text, context);
  } else {
    check_exponent_form(text, context);
  }
  return 0;
}

} // namespace fuzz_checks
