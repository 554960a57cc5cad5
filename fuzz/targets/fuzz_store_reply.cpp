#include "targets/run_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  return fuzz_checks::run_or_abort(fuzz_checks::check_store_reply, data, size);
}
