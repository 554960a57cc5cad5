#pragma once

#include "console/value.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace console {

/// Shortest text that reads back to the same double: fixed form from 1e-4 up
/// to below 1e16 (and for zero) with at least one decimal, exponent form with
/// a sign and two or more exponent digits outside; nan, inf and -inf.
std::string float_text(double value);

/// The text form of any value: integers in decimal, floats by float_text,
/// null as None, dates as YYYY-MM-DD and date-times as YYYY-MM-DD HH:MM:SS
/// (with .ffffff when the microseconds are not zero).
std::string text_form(const Value& value);

/// Appends text_form(value) to out.
void append_text_form(std::string& out, const Value& value);

/// Length of UTF-8 text in code points: every byte that is not a continuation
/// byte.
std::size_t code_points(std::string_view utf8);

/// The text with every byte that starts no well-formed UTF-8 sequence
/// (overlong forms, surrogates, values above U+10FFFF, cut sequences)
/// replaced by U+FFFD, so that a line quoting outside text stays UTF-8.
std::string well_formed_utf8(std::string_view text);

} // namespace console
