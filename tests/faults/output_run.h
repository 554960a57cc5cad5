#pragma once

#include "support/run_program.h"

#include <string>
#include <vector>

namespace faults {

/// Where the child's standard output goes.
enum class StdoutEnd {
  reader_gone, ///< a pipe whose reading end was closed before the start
  closed,      ///< descriptor 1 not open at all
  first_line,  ///< a pipe read up to its first line feed, then closed
               ///< (as `| head -1` does)
};

/// Runs the program with standard output ending as `end` and standard error
/// captured; out holds what was read (first_line only).
support::RunResult run_with_stdout(const std::string& path,
                                   const std::vector<std::string>& argv,
                                   const std::vector<std::string>& env,
                                   StdoutEnd end);

} // namespace faults
