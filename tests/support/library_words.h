#pragma once

#include <gmock/gmock.h>
#include <string>
#include <string_view>

namespace test_support {

/// Where a library's own words stand in an expected output: libcurl's,
/// libpq's, strerror's or OpenSSL's text for a failure. Those words change
/// with the library's version; the program owns only what is around them.
inline constexpr std::string_view k_cause = "<cause>";

/// Matches the whole of an output equal to `expected`, where each k_cause
/// stands for any non-empty text on one line.
::testing::Matcher<const std::string&> with_library_cause(std::string_view expected);

} // namespace test_support
