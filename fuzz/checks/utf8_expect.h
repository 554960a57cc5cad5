#pragma once

#include <string>
#include <string_view>

namespace fuzz_checks {

/// utf8 with every byte that begins no well-formed UTF-8 sequence (Unicode
/// table 3-7) replaced by U+FFFD, one per byte: what a JSON reader gets back
/// from the escaped form of the text.
std::string well_formed_utf8(std::string_view utf8);

} // namespace fuzz_checks
