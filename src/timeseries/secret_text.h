#pragma once

#include "transport/secret.h"

#include <cstddef>
#include <string_view>

namespace timeseries {

/// A password or token as libcurl's text options take it: the bytes and a
/// NUL after them, in one transport::SecretBytes that is wiped with the
/// object. Move-only.
class SecretText {
public:
  SecretText() = default;
  /// A copy of `text`; the source stays the caller's to wipe.
  explicit SecretText(std::string_view text);

  /// The text, NUL-terminated; "" when empty. Owned here.
  const char* c_str() const;
  /// The text without its NUL.
  std::string_view view() const;
  bool empty() const { return view().empty(); }

private:
  transport::SecretBytes m_bytes; // the text, then one NUL
};

} // namespace timeseries
