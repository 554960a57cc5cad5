#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace faults {

/// One cell of the fault matrix: what the run did when `peer` showed `fault`.
struct MatrixRow {
  std::string peer;
  std::string fault;
  std::string outcome;
  std::chrono::milliseconds elapsed{0};
};

/// The file the rows of every test process meet in: TARVO_FAULT_MATRIX when
/// set (empty: none), else the build's own file.
std::string matrix_file();

/// Keeps the row for this process's table and appends it, in one write, to
/// matrix_file(), so that the rows of tests run in separate processes meet
/// in one table.
void record(std::string_view peer,
            std::string_view fault,
            std::string_view outcome,
            std::chrono::milliseconds elapsed);

/// Rows recorded by this process, in order.
const std::vector<MatrixRow>& recorded();

/// Rows read back from a file written by record(); malformed lines skipped.
std::vector<MatrixRow> read_rows(const std::string& path);

/// The rows as a text table, peers and faults in their usual order
/// (PostgreSQL, trapper, /exec, /write, standard output), one line a row.
std::string render_table(std::vector<MatrixRow> rows);

} // namespace faults
