#include "timeseries/secret_text.h"

#include <algorithm>

namespace timeseries {

SecretText::SecretText(std::string_view text) : m_bytes(text.size() + 1) {
  // The buffer starts zeroed, so its last byte is already the NUL.
  std::copy(text.begin(), text.end(), m_bytes.data());
}

const char* SecretText::c_str() const {
  return m_bytes.empty() ? "" : m_bytes.view().data();
}

std::string_view SecretText::view() const {
  const std::string_view all = m_bytes.view();
  return all.empty() ? all : all.substr(0, all.size() - 1);
}

} // namespace timeseries
