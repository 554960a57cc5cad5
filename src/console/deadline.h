#pragma once

#include <chrono>
#include <stdexcept>
#include <string>

namespace console {

/// The run went past its time bound. Its message is the line the run prints.
class TimeoutException : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

/// The process-wide bound of the run. Every wait on a peer (PostgreSQL, the
/// trapper, the store) asks it how long it may still block, so that no
/// blocking call outlives the bound. Unarmed, waits are unbounded.
namespace deadline {

using Clock = std::chrono::steady_clock;

/// Arms the bound: from now on the run may last `limit`; message is the text
/// of the TimeoutException raised once it is exceeded.
void arm(Clock::duration limit, std::string message);

/// Lifts the bound.
void disarm();

/// Throws TimeoutException when the bound is armed and exceeded.
void check();

/// Milliseconds a wait may still block: -1 (forever) when unarmed, else the
/// time left rounded up, at most `cap_ms` when cap_ms >= 0. Throws
/// TimeoutException when no time is left.
int wait_ms(int cap_ms = -1);

} // namespace deadline
} // namespace console
