#pragma once

#include <chrono>

namespace cli {

/// The bound handed to runtime_limiter: 300 seconds of wall time.
inline constexpr int RUNTIME_LIMIT = 300;

/// The run's time bound, in force from construction to destruction.
///
/// Every wait on a peer asks the process deadline how long it may still
/// block, so an exceeded bound interrupts the step in progress with
/// console::TimeoutException, even on a peer that accepted the connection and
/// never answers. As a last resort, for a call that cannot be bounded (a
/// name lookup inside a library), a watchdog signal fires a few seconds
/// after the bound, writes the time-out line with async-signal-safe calls and
/// ends the process with status 0.
class runtime_limiter {
public:
  /// Bound in seconds, as the front end passes RUNTIME_LIMIT.
  explicit runtime_limiter(int seconds);
  /// Any bound; tests use short ones.
  explicit runtime_limiter(std::chrono::milliseconds limit);
  ~runtime_limiter();

  runtime_limiter(const runtime_limiter&) = delete;
  runtime_limiter& operator=(const runtime_limiter&) = delete;
};

} // namespace cli
