#include "checks/checks.h"

namespace fuzz_checks {

void require(bool holds, const std::string& what) {
  if (!holds) {
    throw CheckFailure(what);
  }
}

void require_at(bool holds, const char* what, std::size_t position) {
  if (!holds) {
    throw CheckFailure(std::string(what) + " at " + std::to_string(position));
  }
}

} // namespace fuzz_checks
