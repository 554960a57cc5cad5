#pragma once

#include "transport/fd.h"
#include "transport/resolved.h"

#include <chrono>
#include <cstddef>
#include <memory>
#include <span>
#include <string_view>

namespace transport {

class TlsContext;
class TlsSession;

using Clock = std::chrono::steady_clock;

/// When a step of an exchange must be over, and the budget its time-out
/// message quotes.
struct StepDeadline {
  Clock::time_point until;
  std::chrono::milliseconds budget;

  /// The deadline `budget` from now.
  static StepDeadline from_now(std::chrono::milliseconds budget) {
    return {Clock::now() + budget, budget};
  }
};

/// One TCP connection, plain or TLS, non-blocking underneath: every wait is
/// a poll() cut to the step's deadline and to what the run's bound leaves.
/// Failures throw TransportError with the step and the reason; the run's
/// bound throws console::TimeoutException.
class Connection {
public:
  /// Connects to the first of `peer`'s addresses that takes the connection,
  /// each within `connect_timeout`. Throws TransportError: Step::resolve
  /// when the name gave no address, Step::connect with every address's
  /// reason (the reason alone when there is one address).
  static Connection open(const Resolved& peer,
                         std::chrono::milliseconds connect_timeout);

  Connection(Connection&&) noexcept;
  Connection& operator=(Connection&&) noexcept;
  ~Connection();

  /// Makes this a TLS connection with `context`'s credentials: the
  /// handshake and the checks of the server's certificate, within
  /// `deadline`. Every later write and read goes through the session.
  void start_tls(const TlsContext& context, const StepDeadline& deadline);

  /// Writes every byte, or throws (Step::write).
  void write_all(std::string_view bytes, const StepDeadline& deadline);

  /// Reads until `out` is full or the peer ends the stream; returns how many
  /// bytes arrived. Throws Step::read.
  std::size_t read_up_to(std::span<unsigned char> out,
                         const StepDeadline& deadline);

private:
  explicit Connection(Fd fd);
  Fd m_fd;
  std::unique_ptr<TlsSession> m_tls; // after m_fd: closes before the socket
};

} // namespace transport
