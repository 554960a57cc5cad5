#pragma once

#include <span>
#include <string>

namespace cli {

/// Exit statuses of a run.
inline constexpr int k_exit_ok = 0;
inline constexpr int k_exit_failure = 1;
inline constexpr int k_exit_output_lost = 2;

/// The whole run: arguments (the program's name first), the time bound, the
/// mode dispatch and the exit status. Writes to std::cout and std::cerr.
int run(std::span<const std::string> argv);

} // namespace cli
