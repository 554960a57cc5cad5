#include "console/environment.h"

#include <cstdlib>

namespace console {

Environment environment_of(std::span<const std::string_view> names) {
  Environment found;
  for (const auto name : names) {
    const char* value = std::getenv(std::string(name).c_str());
    if (value != nullptr) {
      found.emplace(name, value);
    }
  }
  return found;
}

} // namespace console
