#include "support/library_words.h"

namespace test_support {

::testing::Matcher<const std::string&> with_library_cause(std::string_view expected) {
  std::string pattern;
  for (std::size_t at = 0; at < expected.size();) {
    if (expected.substr(at).starts_with(k_cause)) {
      pattern += "[^\n]+";
      at += k_cause.size();
      continue;
    }
    const char c = expected[at++];
    if (std::string_view(".[]()*+?{}|^$\\").find(c) != std::string_view::npos) {
      pattern.push_back('\\');
    }
    pattern.push_back(c);
  }
  return ::testing::MatchesRegex(pattern);
}

} // namespace test_support
