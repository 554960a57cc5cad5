// Process-wide set-up of the fault suite: libcurl's global state for the
// steps run in this process, and the fault matrix printed at the end.
#include "faults/fault_matrix.h"
#include "timeseries/curl_global.h"

#include <gtest/gtest.h>
#include <iostream>
#include <memory>

namespace {

class FaultEnvironment : public ::testing::Environment {
public:
  void SetUp() override { m_curl = std::make_unique<timeseries::CurlGlobal>(); }
  void TearDown() override {
    if (!faults::recorded().empty()) {
      std::cout << "\nFault matrix (this process):\n"
                << faults::render_table(faults::recorded()) << std::flush;
    }
    m_curl.reset();
  }

private:
  std::unique_ptr<timeseries::CurlGlobal> m_curl;
};

// gtest owns the environment once it is added.
[[maybe_unused]] ::testing::Environment* const g_environment =
    ::testing::AddGlobalTestEnvironment(new FaultEnvironment);

} // namespace
