#include "support/fake_trapper.h"

#include "support/sockets.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <nlohmann/json.hpp>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <system_error>

namespace test_support {
namespace {

// Short polls so that destruction (stop request) is noticed promptly.
constexpr int k_poll_ms = 20;

std::string u32le(std::uint32_t v) {
  std::string out;
  for (unsigned shift = 0; shift < 32; shift += 8) {
    out.push_back(static_cast<char>((v >> shift) & 0xFFU));
  }
  return out;
}

std::uint32_t read_u32le(const std::string& s, std::size_t at) {
  std::uint32_t v = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    v |= static_cast<std::uint32_t>(static_cast<unsigned char>(s[at + i]))
         << (8U * i);
  }
  return v;
}

bool wait_readable(int fd, const std::stop_token& stop) {
  while (!stop.stop_requested()) {
    pollfd pfd{fd, POLLIN, 0};
    if (::poll(&pfd, 1, k_poll_ms) > 0) {
      return true;
    }
  }
  return false;
}

// Appends up to `size` more bytes to out; false at end of stream or stop.
bool read_into(int fd,
               std::string& out,
               std::size_t size,
               const std::stop_token& stop) {
  while (size > 0) {
    if (!wait_readable(fd, stop)) {
      return false;
    }
    char buf[4096];
    const ssize_t n = ::recv(fd, buf, std::min(size, sizeof buf), 0);
    if (n <= 0) {
      return false;
    }
    out.append(buf, static_cast<std::size_t>(n));
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

void write_all(int fd, const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n =
        ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) {
      return;
    }
    sent += static_cast<std::size_t>(n);
  }
}

void decode(Request& request) {
  if (request.raw.size() < 13) {
    return;
  }
  try {
    const auto body = nlohmann::json::parse(request.raw.substr(13));
    std::vector<Item> items;
    for (const auto& row : body.at("data")) {
      items.push_back({row.at("host").get<std::string>(),
                       row.at("key").get<std::string>(),
                       row.at("value").get<std::string>()});
    }
    request.items = std::move(items);
  } catch (const nlohmann::json::exception&) {
    // Left empty: the test compares the raw bytes.
    return;
  }
  if (!request.items.empty()) {
    request.host = request.items[0].host;
    request.key = request.items[0].key;
    request.value = request.items[0].value;
  }
}

// The trapper's "success" reply with its counts, as Zabbix words them.
std::string success_bytes(std::size_t processed, std::size_t failed) {
  return Reply::framed(R"({"response":"success","info":"processed: )"
                       + std::to_string(processed)
                       + "; failed: " + std::to_string(failed)
                       + "; total: " + std::to_string(processed + failed)
                       + R"(; seconds spent: 0.000050"})")
      .bytes();
}

// Waits `pause` in short steps; false when a stop was requested meanwhile.
bool pause_for(std::chrono::milliseconds pause, const std::stop_token& stop) {
  const auto until = std::chrono::steady_clock::now() + pause;
  while (std::chrono::steady_clock::now() < until) {
    if (stop.stop_requested()) {
      return false;
    }
    std::this_thread::sleep_for(
        std::min(std::chrono::milliseconds(k_poll_ms),
                 std::chrono::ceil<std::chrono::milliseconds>(
                     until - std::chrono::steady_clock::now())));
  }
  return !stop.stop_requested();
}

} // namespace

std::string Reply::ok_bytes() {
  return success_bytes(1, 0);
}

Reply Reply::framed(std::string_view payload, Header header) {
  std::string bytes("ZBXD");
  bytes.push_back(static_cast<char>(header.flags));
  bytes +=
      u32le(header.length.value_or(static_cast<std::uint32_t>(payload.size())));
  bytes += u32le(header.reserved);
  bytes += payload;
  return raw(std::move(bytes));
}

FakeTrapper::FakeTrapper(Script script)
    : m_script(std::move(script)), m_listener(listen_on("127.0.0.1", m_port)) {
  m_thread = std::jthread([this](const std::stop_token& stop) { serve(stop); });
}

FakeTrapper::~FakeTrapper() {
  m_thread.request_stop();
  if (m_thread.joinable()) {
    m_thread.join();
  }
}

std::vector<Request> FakeTrapper::received() const {
  const std::lock_guard lock(m_mutex);
  return m_received;
}

void FakeTrapper::stop_listening_after(std::size_t accepted) {
  const std::lock_guard lock(m_mutex);
  m_listen_limit = accepted;
}

Reply FakeTrapper::peek_reply() const {
  const std::lock_guard lock(m_mutex);
  if (m_next < m_script.size()) {
    return m_script[m_next];
  }
  return Reply::ok();
}

Reply FakeTrapper::next_reply() {
  const std::lock_guard lock(m_mutex);
  if (m_next < m_script.size()) {
    return m_script[m_next++];
  }
  return Reply::ok();
}

std::optional<transport::Fd>
FakeTrapper::accept_one(const std::stop_token& stop) {
  while (!stop.stop_requested()) {
    {
      const std::lock_guard lock(m_mutex);
      if (m_listen_limit && m_accepted >= *m_listen_limit) {
        m_listener.reset();
      }
    }
    if (!m_listener) {
      return std::nullopt;
    }
    pollfd pfd{m_listener.get(), POLLIN, 0};
    if (::poll(&pfd, 1, k_poll_ms) <= 0) {
      continue;
    }
    transport::Fd connection(
        ::accept4(m_listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (connection) {
      const std::lock_guard lock(m_mutex);
      ++m_accepted;
      // Closed before this connection is served, so the client's next
      // connect is refused rather than racing the close.
      if (m_listen_limit && m_accepted >= *m_listen_limit) {
        m_listener.reset();
      }
      return connection;
    }
  }
  return std::nullopt;
}

Request FakeTrapper::read_request(int fd, const std::stop_token& stop) {
  Request request;
  if (read_into(fd, request.raw, 13, stop)
      && request.raw.compare(0, 4, "ZBXD") == 0) {
    read_into(fd, request.raw, read_u32le(request.raw, 5), stop);
  }
  decode(request);
  return request;
}

void FakeTrapper::serve(const std::stop_token& stop) {
  std::vector<transport::Fd> held;
  for (;;) {
    auto connection = accept_one(stop);
    if (!connection) {
      if (stop.stop_requested()) {
        return;
      }
      // Listener closed: keep held connections open until destruction.
      while (!stop.stop_requested()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(k_poll_ms));
      }
      return;
    }
    if (peek_reply().kind() == Reply::Kind::close_before_reading) {
      (void)next_reply();
      const std::lock_guard lock(m_mutex);
      m_received.push_back(Request{});
      continue; // the connection closes here, its request unread
    }
    Request request = read_request(connection->get(), stop);
    // A request that did not parse still counts as one value.
    const std::size_t values = std::max<std::size_t>(request.items.size(), 1);
    {
      const std::lock_guard lock(m_mutex);
      m_received.push_back(std::move(request));
    }
    const Reply reply = next_reply();
    switch (reply.kind()) {
    case Reply::Kind::ok:
      write_all(connection->get(), success_bytes(values, 0));
      break;
    case Reply::Kind::failed_items:
      write_all(connection->get(), success_bytes(0, values));
      break;
    case Reply::Kind::failure:
      write_all(
          connection->get(),
          Reply::framed(
              R"({"response":"failed","info":"cannot parse as a valid JSON object"})")
              .bytes());
      break;
    case Reply::Kind::close_early:
      break;
    case Reply::Kind::never_answer:
      held.push_back(std::move(*connection));
      break;
    case Reply::Kind::raw:
      write_all(connection->get(), reply.bytes());
      break;
    case Reply::Kind::slow:
      if (pause_for(reply.pause(), stop)) {
        write_all(connection->get(), Reply::ok_bytes());
      }
      break;
    case Reply::Kind::trickle:
      for (const char byte : Reply::ok_bytes()) {
        if (!pause_for(reply.pause(), stop)) {
          break;
        }
        write_all(connection->get(), std::string(1, byte));
      }
      break;
    case Reply::Kind::cut:
      write_all(connection->get(), Reply::ok_bytes().substr(0, reply.cut_at()));
      break;
    case Reply::Kind::close_before_reading:
      break; // handled before the request is read
    }
  }
}

} // namespace test_support
