#include "transport/connection.h"

#include "console/deadline.h"
#include "transport/progress.h"
#include "transport/tls_context.h"
#include "transport/transport_error.h"

#include <array>
#include <cerrno>
#include <charconv>
#include <climits>
#include <netdb.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/types.h>
#include <system_error>

namespace transport {
namespace {

std::string errno_text(int error) {
  return std::system_category().message(error);
}

std::string ms_text(std::chrono::milliseconds ms) {
  std::array<char, 24> buf{};
  const auto [end, ec] =
      std::to_chars(buf.data(), buf.data() + buf.size(), ms.count());
  return std::string(buf.data(), end) + " ms";
}

// Waits until fd is ready for `events` or `until` passes; false on our own
// time-out. Each poll is also cut to what the run's bound leaves, which
// throws console::TimeoutException once the bound is gone.
bool wait_ready(int fd, short events, Clock::time_point until, Step step) {
  for (;;) {
    const auto left = until - Clock::now();
    if (left <= Clock::duration::zero()) {
      return false;
    }
    const auto left_ms =
        std::chrono::ceil<std::chrono::milliseconds>(left).count();
    const int cap = left_ms > INT_MAX ? INT_MAX : static_cast<int>(left_ms);
    pollfd pfd{fd, events, 0};
    const int rc = ::poll(&pfd, 1, console::deadline::wait_ms(cap));
    if (rc > 0) {
      return true;
    }
    if (rc < 0 && errno != EINTR) {
      throw TransportError(step, "poll: " + errno_text(errno));
    }
  }
}

// The address as a reason names it: "127.0.0.1", "[::1]".
std::string address_text(const addrinfo& address) {
  std::array<char, NI_MAXHOST> host{};
  if (::getnameinfo(address.ai_addr,
                    address.ai_addrlen,
                    host.data(),
                    host.size(),
                    nullptr,
                    0,
                    NI_NUMERICHOST)
      != 0) {
    return "?";
  }
  const std::string text(host.data());
  return address.ai_family == AF_INET6 ? "[" + text + "]" : text;
}

// Connects to one address within `timeout`; on failure returns an empty Fd
// and puts the reason in `reason`.
Fd connect_one(const addrinfo& address,
               std::chrono::milliseconds timeout,
               std::string& reason) {
  // Non-blocking from the start: connect and every later read and write
  // wait in poll, so that both our time-outs and the run's bound apply.
  Fd fd(::socket(address.ai_family,
                 address.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                 address.ai_protocol));
  if (!fd) {
    reason = "socket: " + errno_text(errno);
    return Fd();
  }
  int error = 0;
  if (::connect(fd.get(), address.ai_addr, address.ai_addrlen) != 0) {
    error = errno;
    if (error == EINPROGRESS) {
      if (!wait_ready(
              fd.get(), POLLOUT, Clock::now() + timeout, Step::connect)) {
        reason = "tempo esgotado ao conectar (" + ms_text(timeout) + ")";
        return Fd();
      }
      socklen_t length = sizeof error;
      if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
        error = errno;
      }
    }
  }
  if (error == 0) {
    return fd;
  }
  reason = error == ECONNREFUSED ? std::string("conexão recusada")
                                 : "conectar: " + errno_text(error);
  return Fd();
}

// Waits as a try on the connection asked; throws `timed_out` with the
// deadline's budget when it passes first.
void wait_for(int fd,
              Wait wait,
              const StepDeadline& deadline,
              Step step,
              const char* timed_out) {
  const short events = wait == Wait::readable ? POLLIN : POLLOUT;
  if (!wait_ready(fd, events, deadline.until, step)) {
    throw TransportError(
        step, std::string(timed_out) + " (" + ms_text(deadline.budget) + ")");
  }
}

// One try on the plain socket, in the shape of a TLS session's progress so
// that both kinds of connection share their waiting loops.
Progress plain_write(int fd, std::string_view bytes) {
  // MSG_NOSIGNAL: a peer that has closed must give EPIPE, not kill the run.
  const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  if (n >= 0) {
    return {Wait::none, static_cast<std::size_t>(n)};
  }
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
    return {Wait::writable};
  }
  throw TransportError(Step::write, "enviar o pedido: " + errno_text(errno));
}

Progress plain_read(int fd, std::span<unsigned char> out) {
  const ssize_t n = ::recv(fd, out.data(), out.size(), 0);
  if (n > 0) {
    return {Wait::none, static_cast<std::size_t>(n)};
  }
  if (n == 0) {
    return {Wait::none, 0, true};
  }
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
    return {Wait::readable};
  }
  throw TransportError(Step::read, "ler a resposta: " + errno_text(errno));
}

constexpr const char* k_write_timed_out = "tempo esgotado ao enviar o pedido";
constexpr const char* k_read_timed_out = "tempo esgotado aguardando a resposta";

} // namespace

Connection::Connection(Fd fd) : m_fd(std::move(fd)) {}
Connection::Connection(Connection&&) noexcept = default;
Connection& Connection::operator=(Connection&&) noexcept = default;
Connection::~Connection() = default;

Connection Connection::open(const Resolved& peer,
                            std::chrono::milliseconds connect_timeout) {
  console::deadline::check();
  if (peer.addresses() == nullptr) {
    throw TransportError(Step::resolve, peer.failure());
  }
  // Every address's own reason: a name that resolves to an IPv6 address
  // that is unreachable and an IPv4 one that refuses says both.
  std::string reasons;
  std::string reason;
  std::size_t tried = 0;
  for (const addrinfo* a = peer.addresses(); a != nullptr; a = a->ai_next) {
    Fd fd = connect_one(*a, connect_timeout, reason);
    if (fd) {
      return Connection(std::move(fd));
    }
    reasons += (tried == 0 ? "" : ", ") + address_text(*a) + ": " + reason;
    ++tried;
  }
  throw TransportError(Step::connect, tried == 1 ? reason : reasons);
}

void Connection::start_tls(const TlsContext& context,
                           const StepDeadline& deadline) {
  m_tls = std::make_unique<TlsSession>(context, m_fd.get());
  for (;;) {
    const auto progress = m_tls->handshake();
    if (progress.wait == Wait::none) {
      return;
    }
    wait_for(m_fd.get(),
             progress.wait,
             deadline,
             Step::handshake,
             "tempo esgotado na negociação TLS");
  }
}

void Connection::write_all(std::string_view bytes,
                           const StepDeadline& deadline) {
  // Each call is tried first and waited for only when the socket is not
  // ready: a request fits a fresh socket's buffer, so it rarely waits.
  while (!bytes.empty()) {
    const auto progress =
        m_tls ? m_tls->write(bytes) : plain_write(m_fd.get(), bytes);
    bytes.remove_prefix(progress.bytes);
    if (progress.wait != Wait::none) {
      wait_for(
          m_fd.get(), progress.wait, deadline, Step::write, k_write_timed_out);
    }
  }
}

std::size_t Connection::read_up_to(std::span<unsigned char> out,
                                   const StepDeadline& deadline) {
  std::size_t got = 0;
  while (got < out.size()) {
    const auto rest = out.subspan(got);
    const auto progress =
        m_tls ? m_tls->read(rest) : plain_read(m_fd.get(), rest);
    got += progress.bytes;
    if (progress.closed) {
      break;
    }
    if (progress.wait != Wait::none) {
      wait_for(
          m_fd.get(), progress.wait, deadline, Step::read, k_read_timed_out);
    }
  }
  return got;
}

} // namespace transport
