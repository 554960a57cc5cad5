#pragma once

#include "support/pg_env.h"

#include <gtest/gtest.h>

namespace support {

/// A test that needs the scratch cluster; skipped, with the reason, when the
/// suite runs without one.
class PgTest : public ::testing::Test {
protected:
  void SetUp() override {
    auto env = test_cluster();
    if (!env) {
      GTEST_SKIP() << "no PostgreSQL test cluster (TARVO_PG_ENV unset)";
    }
    m_env = *env;
  }

  PgEnv m_env;
};

} // namespace support
