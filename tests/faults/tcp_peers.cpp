#include "faults/tcp_peers.h"

#include <arpa/inet.h>
#include <array>
#include <chrono>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <system_error>
#include <thread>
#include <vector>

namespace faults {
namespace {

using test_support::socket_address;

// Short polls so that a stop request is noticed promptly.
constexpr int k_poll_ms = 20;

// PostgreSQL's SSLRequest: length 8, then the code 80877103 (1234, 5679).
constexpr std::string_view k_ssl_request{"\x00\x00\x00\x08\x04\xd2\x16\x2f", 8};

void write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n <= 0) {
      return;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

// Waits for a connection until stopped; an empty Fd on stop.
transport::Fd accept_until_stopped(int listener, const std::stop_token& stop) {
  while (!stop.stop_requested()) {
    pollfd pfd{listener, POLLIN, 0};
    if (::poll(&pfd, 1, k_poll_ms) > 0) {
      transport::Fd fd(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
      if (fd) {
        return fd;
      }
    }
  }
  return transport::Fd();
}

// A client's connect() returns once the SYN-ACK is in, which can be before
// the listener has taken the final ACK and queued the connection. Until it
// is queued the queue is not full, and a second SYN would still be answered.
// For a listening socket Linux reports the queue's length as tcpi_unacked.
bool accept_queue_holds_one(int listener) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (std::chrono::steady_clock::now() < until) {
    tcp_info info{};
    socklen_t length = sizeof info;
    if (::getsockopt(listener, IPPROTO_TCP, TCP_INFO, &info, &length) != 0) {
      return false;
    }
    if (info.tcpi_unacked >= 1) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

} // namespace

std::string fault_address(int file_id, int line) {
  return "127.30." + std::to_string(file_id * 4 + line / 256) + "."
         + std::to_string(line % 256);
}

UnansweredSyns::UnansweredSyns(const std::string& address) {
  m_listener = transport::Fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in a = socket_address(address, 0);
  auto* generic = reinterpret_cast<sockaddr*>(&a);
  socklen_t length = sizeof a;
  // Backlog 0: one connection fills the queue and nothing accepts it.
  if (!m_listener || ::bind(m_listener.get(), generic, length) != 0
      || ::listen(m_listener.get(), 0) != 0
      || ::getsockname(m_listener.get(), generic, &length) != 0) {
    throw std::system_error(
        errno, std::system_category(), "bind/listen " + address);
  }
  m_port = ntohs(a.sin_port);
  m_queued = connect_to(address, m_port);
  if (!m_queued || !accept_queue_holds_one(m_listener.get())) {
    throw std::runtime_error("could not fill the accept queue");
  }
}

SilentPeer::SilentPeer(const std::string& address)
    : m_listener(listen_on(address, m_port)) {
  m_thread = std::jthread([this](const std::stop_token& stop) {
    std::vector<transport::Fd> held;
    for (;;) {
      transport::Fd fd = accept_until_stopped(m_listener.get(), stop);
      if (!fd) {
        return;
      }
      ++m_accepted;
      held.push_back(std::move(fd));
    }
  });
}

SilentPeer::~SilentPeer() = default;

GarbagePeer::GarbagePeer(const std::string& address,
                         std::string bytes,
                         std::uint16_t port)
    : m_port(port), m_listener(listen_on(address, m_port)),
      m_bytes(std::move(bytes)) {
  m_thread = std::jthread([this](const std::stop_token& stop) {
    for (;;) {
      const transport::Fd fd = accept_until_stopped(m_listener.get(), stop);
      if (!fd) {
        return;
      }
      write_all(fd.get(), m_bytes);
    }
  });
}

GarbagePeer::~GarbagePeer() = default;

FaultyRelay::FaultyRelay(Options options)
    : m_options(std::move(options)),
      m_listener(listen_on(m_options.listen_address, m_port)) {
  m_thread = std::jthread([this](const std::stop_token& stop) { serve(stop); });
}

FaultyRelay::~FaultyRelay() = default;

void FaultyRelay::serve(const std::stop_token& stop) {
  // One client at a time: the billing connection is the only one.
  while (!stop.stop_requested()) {
    const transport::Fd client = accept_until_stopped(m_listener.get(), stop);
    if (!client) {
      return;
    }
    const transport::Fd server =
        connect_to(m_options.target_host, m_options.target_port);
    if (!server) {
      continue;
    }
    std::string sent_by_client;
    bool armed = false;
    bool open = true;
    while (open && !stop.stop_requested()) {
      std::array<pollfd, 2> fds{pollfd{client.get(), POLLIN, 0},
                                pollfd{server.get(), POLLIN, 0}};
      if (::poll(fds.data(), fds.size(), k_poll_ms) <= 0) {
        continue;
      }
      std::array<char, 65536> buffer{};
      if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
        const ssize_t n = ::recv(client.get(), buffer.data(), buffer.size(), 0);
        if (n <= 0) {
          break;
        }
        const std::string_view chunk(buffer.data(),
                                     static_cast<std::size_t>(n));
        // The faults below are keyed to what the client sends, so the
        // session must stay readable: TLS is declined with the one byte a
        // server with ssl=off answers, and libpq (sslmode prefer) goes on in
        // plain text. Later messages start with their type byte, never 0.
        if (chunk == k_ssl_request) {
          write_all(client.get(), "N");
          continue;
        }
        if (m_options.cut_after && !armed) {
          sent_by_client.append(chunk);
          armed =
              sent_by_client.find(*m_options.cut_after) != std::string::npos;
        }
        write_all(server.get(), chunk);
      }
      if ((fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
        const ssize_t n = ::recv(server.get(), buffer.data(), buffer.size(), 0);
        if (n <= 0) {
          break;
        }
        std::string_view chunk(buffer.data(), static_cast<std::size_t>(n));
        if (m_options.delay.count() > 0) {
          std::this_thread::sleep_for(m_options.delay);
        }
        if (armed && m_options.stall) {
          m_cut = true;
          continue; // swallowed: the client waits for a reply that never comes
        }
        if (armed) {
          chunk = chunk.substr(0, std::min(chunk.size(), m_options.cut_bytes));
          m_cut = true;
          open = false;
        }
        write_all(client.get(), chunk);
      }
    }
  }
}

} // namespace faults
