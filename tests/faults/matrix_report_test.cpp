// Run by CTest once every fault test is done (FIXTURES_CLEANUP), not by
// discovery: prints the matrix that the fault tests wrote, one cell a line,
// and checks what the whole table must show: no run died of a signal or
// hung, and every run that failed said why in one "Falha na execução: " line.
#include "faults/fault_matrix.h"

#include <gtest/gtest.h>
#include <iostream>
#include <regex>

namespace {

// The longest wait of the program's own that a fault may cost: the
// sender's 15-second reply time-out, and the store's 10-second retry
// budget; a cell beyond it hung somewhere.
constexpr std::chrono::seconds k_longest_wait{20};

TEST(FaultMatrixReport, EveryCellEndsCleanlyInTime) {
  const std::string path = faults::matrix_file();
  ASSERT_FALSE(path.empty());
  const auto rows = faults::read_rows(path);
  if (rows.empty()) {
    GTEST_SKIP() << "no fault test recorded a cell in " << path;
  }
  std::cout << "\nFault matrix (" << rows.size() << " cells, " << path << "):\n"
            << faults::render_table(rows) << std::flush;

  const std::regex exit_status("exit ([0-9]+)");
  for (const auto& row : rows) {
    SCOPED_TRACE(row.peer + " | " + row.fault + " | " + row.outcome);
    EXPECT_EQ(row.outcome.find("SIGNAL"), std::string::npos);
    EXPECT_LT(row.elapsed, k_longest_wait);
    for (std::sregex_iterator it(
             row.outcome.begin(), row.outcome.end(), exit_status);
         it != std::sregex_iterator();
         ++it) {
      const int status = std::stoi((*it)[1].str());
      EXPECT_TRUE(status == 0 || status == 1 || status == 2) << status;
    }
    if (row.outcome.starts_with("exit 1;")) {
      EXPECT_NE(row.outcome.find("err: Falha na execução: "),
                std::string::npos);
    }
  }
}

} // namespace
