// Run by CTest once every fault test is done (FIXTURES_CLEANUP), not by
// discovery: prints the matrix that the fault tests wrote, one cell a line.
#include "faults/fault_matrix.h"

#include <gtest/gtest.h>
#include <iostream>

namespace {

TEST(FaultMatrixReport, PrintsTheWholeMatrix) {
  const std::string path = faults::matrix_file();
  ASSERT_FALSE(path.empty());
  const auto rows = faults::read_rows(path);
  if (rows.empty()) {
    GTEST_SKIP() << "no fault test recorded a cell in " << path;
  }
  std::cout << "\nFault matrix (" << rows.size() << " cells, " << path << "):\n"
            << faults::render_table(rows) << std::flush;
}

} // namespace
