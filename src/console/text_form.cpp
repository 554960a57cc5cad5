#include "console/text_form.h"

#include <array>
#include <charconv>
#include <cmath>

namespace console {
namespace {

void append_integer(std::string& out, std::int64_t value) {
  std::array<char, 24> buf{};
  auto [end, ec] = std::to_chars(buf.data(), buf.data() + buf.size(), value);
  out.append(buf.data(), end);
}

void append_padded(std::string& out, int value, int width) {
  std::array<char, 16> buf{};
  auto [end, ec] = std::to_chars(buf.data(), buf.data() + buf.size(), value);
  for (auto n = static_cast<int>(end - buf.data()); n < width; ++n) {
    out.push_back('0');
  }
  out.append(buf.data(), end);
}

void append_date(std::string& out, const Date& d) {
  append_padded(out, d.year, 4);
  out.push_back('-');
  append_padded(out, d.month, 2);
  out.push_back('-');
  append_padded(out, d.day, 2);
}

void append_date_time(std::string& out, const DateTime& t) {
  append_date(out, t.date);
  out.push_back(' ');
  append_padded(out, t.hour, 2);
  out.push_back(':');
  append_padded(out, t.minute, 2);
  out.push_back(':');
  append_padded(out, t.second, 2);
  if (t.microsecond != 0) {
    out.push_back('.');
    append_padded(out, t.microsecond, 6);
  }
}

void append_float(std::string& out, double value) {
  if (std::isnan(value)) {
    out += "nan";
    return;
  }
  if (std::isinf(value)) {
    out += value < 0 ? "-inf" : "inf";
    return;
  }
  if (value == 0.0) {
    out += std::signbit(value) ? "-0.0" : "0.0";
    return;
  }
  // to_chars in scientific form yields the shortest round-trip digits with
  // printf's exponent style (sign, at least two digits), e.g. "-1.2345e+02".
  std::array<char, 40> buf{};
  auto [end, ec] = std::to_chars(buf.data(),
                                 buf.data() + buf.size(),
                                 value,
                                 std::chars_format::scientific);
  const std::string_view sci(buf.data(),
                             static_cast<std::size_t>(end - buf.data()));
  const auto e_pos = sci.find('e');
  int exponent = 0;
  std::from_chars(sci.data() + e_pos + (sci[e_pos + 1] == '+' ? 2 : 1),
                  sci.data() + sci.size(),
                  exponent);
  if (exponent < -4 || exponent >= 16) {
    out += sci;
    return;
  }
  std::string digits;
  std::size_t i = 0;
  if (sci[0] == '-') {
    out.push_back('-');
    i = 1;
  }
  for (; i < e_pos; ++i) {
    if (sci[i] != '.') {
      digits.push_back(sci[i]);
    }
  }
  const auto n = static_cast<int>(digits.size());
  if (exponent < 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-exponent - 1), '0');
    out += digits;
  } else if (exponent + 1 >= n) {
    out += digits;
    out.append(static_cast<std::size_t>(exponent + 1 - n), '0');
    out += ".0";
  } else {
    out.append(digits, 0, static_cast<std::size_t>(exponent + 1));
    out.push_back('.');
    out.append(digits, static_cast<std::size_t>(exponent + 1));
  }
}

} // namespace

std::string float_text(double value) {
  std::string out;
  append_float(out, value);
  return out;
}

void append_text_form(std::string& out, const Value& value) {
  struct Visitor {
    std::string& out;
    void operator()(Null) const { out += "None"; }
    void operator()(std::int64_t v) const { append_integer(out, v); }
    void operator()(double v) const { append_float(out, v); }
    void operator()(const std::string& v) const { out += v; }
    void operator()(const Date& v) const { append_date(out, v); }
    void operator()(const DateTime& v) const { append_date_time(out, v); }
  };
  std::visit(Visitor{out}, value);
}

std::string text_form(const Value& value) {
  std::string out;
  append_text_form(out, value);
  return out;
}

std::string well_formed_utf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    unsigned min = 0;
    unsigned cp = 0;
    if (lead < 0x80U) {
      length = 1;
      cp = lead;
    } else if ((lead & 0xE0U) == 0xC0U) {
      length = 2;
      cp = lead & 0x1FU;
      min = 0x80;
    } else if ((lead & 0xF0U) == 0xE0U) {
      length = 3;
      cp = lead & 0x0FU;
      min = 0x800;
    } else if ((lead & 0xF8U) == 0xF0U) {
      length = 4;
      cp = lead & 0x07U;
      min = 0x10000;
    }
    bool ok = length != 0 && i + length <= text.size();
    for (std::size_t k = 1; ok && k < length; ++k) {
      const auto b = static_cast<unsigned char>(text[i + k]);
      ok = (b & 0xC0U) == 0x80U;
      cp = (cp << 6U) | (b & 0x3FU);
    }
    ok = ok && cp >= min && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
    if (ok) {
      out.append(text.substr(i, length));
      i += length;
    } else {
      out += "\xEF\xBF\xBD"; // U+FFFD, one per byte that starts nothing
      ++i;
    }
  }
  return out;
}

std::size_t code_points(std::string_view utf8) {
  std::size_t n = 0;
  for (const char c : utf8) {
    if ((static_cast<unsigned char>(c) & 0xC0U) != 0x80U) {
      ++n;
    }
  }
  return n;
}

} // namespace console
