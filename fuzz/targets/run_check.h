#pragma once

#include "checks/checks.h"

#include <cstdio>
#include <cstdlib>
#include <exception>

namespace fuzz_checks {

/// Runs one check on the fuzzer's input. A broken property, or any exception
/// that escapes the check, aborts after printing why: libFuzzer reports that
/// as a crash and keeps the input.
inline int
run_or_abort(Check check, const std::uint8_t* data, std::size_t size) {
  try {
    return check(data, size);
  } catch (const CheckFailure& e) {
    std::fprintf(stderr, "check failed: %s\n", e.what());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "exception escaped the check: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "unknown exception escaped the check\n");
  }
  std::abort();
}

} // namespace fuzz_checks
