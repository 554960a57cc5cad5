#include "support/fake_trapper.h"

#include "support/sockets.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <nlohmann/json.hpp>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/time.h>
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

void decode(Request& request);

struct SslFree {
  void operator()(SSL* ssl) const noexcept { SSL_free(ssl); }
};
using Ssl = std::unique_ptr<SSL, SslFree>;

// One accepted connection, read and written in plain or through its TLS
// session.
struct Channel {
  transport::Fd fd;
  Ssl ssl; // none: plain
};

bool wait_readable(const Channel& channel, const std::stop_token& stop) {
  if (channel.ssl && SSL_pending(channel.ssl.get()) > 0) {
    return true;
  }
  while (!stop.stop_requested()) {
    pollfd pfd{channel.fd.get(), POLLIN, 0};
    if (::poll(&pfd, 1, k_poll_ms) > 0) {
      return true;
    }
  }
  return false;
}

// Up to `size` bytes into buf; 0 at the end of the stream or on an error.
std::size_t receive(const Channel& channel, char* buf, std::size_t size) {
  if (channel.ssl) {
    std::size_t got = 0;
    return SSL_read_ex(channel.ssl.get(), buf, size, &got) == 1 ? got : 0;
  }
  const ssize_t n = ::recv(channel.fd.get(), buf, size, 0);
  return n > 0 ? static_cast<std::size_t>(n) : 0;
}

// Appends up to `size` more bytes to out; false at end of stream or stop.
bool read_into(const Channel& channel,
               std::string& out,
               std::size_t size,
               const std::stop_token& stop) {
  while (size > 0) {
    if (!wait_readable(channel, stop)) {
      return false;
    }
    char buf[4096];
    const std::size_t n = receive(channel, buf, std::min(size, sizeof buf));
    if (n == 0) {
      return false;
    }
    out.append(buf, n);
    size -= n;
  }
  return true;
}

void write_all(const Channel& channel, const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    std::size_t n = 0;
    if (channel.ssl) {
      if (SSL_write_ex(
              channel.ssl.get(), bytes.data() + sent, bytes.size() - sent, &n)
          != 1) {
        return;
      }
    } else {
      const ssize_t written = ::send(channel.fd.get(),
                                     bytes.data() + sent,
                                     bytes.size() - sent,
                                     MSG_NOSIGNAL);
      if (written <= 0) {
        return;
      }
      n = static_cast<std::size_t>(written);
    }
    sent += n;
  }
}

Request read_request(const Channel& channel, const std::stop_token& stop) {
  Request request;
  if (read_into(channel, request.raw, 13, stop)
      && request.raw.compare(0, 4, "ZBXD") == 0) {
    read_into(channel, request.raw, read_u32le(request.raw, 5), stop);
  }
  decode(request);
  return request;
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

Reply Reply::redirect(std::string_view address, std::uint64_t revision) {
  // Member order as Zabbix 7.0.9 writes it.
  return framed(R"({"redirect":{"revision":)" + std::to_string(revision)
                + R"(,"address":")" + std::string(address)
                + R"("},"response":"failed"})");
}

// The server side of TLS with a pre-shared key, as Zabbix offers it.
struct FakeTrapper::Tls {
  struct CtxFree {
    void operator()(SSL_CTX* ctx) const noexcept { SSL_CTX_free(ctx); }
  };
  TrapperPsk psk;
  std::vector<unsigned char> key;
  std::unique_ptr<SSL_CTX, CtxFree> ctx;

  explicit Tls(TrapperPsk given) : psk(std::move(given)) {
    for (std::size_t i = 0; i + 1 < psk.key_hex.size(); i += 2) {
      key.push_back(static_cast<unsigned char>(
          std::stoi(psk.key_hex.substr(i, 2), nullptr, 16)));
    }
    ctx.reset(SSL_CTX_new(TLS_server_method()));
    if (!ctx || SSL_CTX_set_cipher_list(ctx.get(), "kECDHEPSK:kPSK") != 1) {
      throw std::runtime_error("fake trapper: no TLS context");
    }
    SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
    SSL_CTX_set_app_data(ctx.get(), this);
    SSL_CTX_set_psk_server_callback(ctx.get(), &Tls::find_key);
  }

  static unsigned int find_key(SSL* ssl,
                               const char* identity,
                               unsigned char* out,
                               unsigned int max) {
    const auto* tls =
        static_cast<const Tls*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
    if (identity == nullptr || tls->psk.identity != identity
        || tls->key.size() > max) {
      return 0; // an unknown identity: the handshake fails
    }
    std::copy(tls->key.begin(), tls->key.end(), out);
    return static_cast<unsigned int>(tls->key.size());
  }

  // The handshake on a fresh connection; none when it fails.
  Ssl accept(int fd) const {
    // Blocking, but bounded: a client that never finishes its handshake
    // must not keep the double from stopping.
    const timeval limit{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    Ssl ssl(SSL_new(ctx.get()));
    if (!ssl || SSL_set_fd(ssl.get(), fd) != 1 || SSL_accept(ssl.get()) != 1) {
      ERR_clear_error();
      return Ssl();
    }
    return ssl;
  }
};

FakeTrapper::FakeTrapper(Script script)
    : m_script(std::move(script)), m_listener(listen_on("127.0.0.1", m_port)) {
  m_thread = std::jthread([this](const std::stop_token& stop) { serve(stop); });
}

FakeTrapper::FakeTrapper(Script script, TrapperPsk psk)
    : m_script(std::move(script)), m_listener(listen_on("127.0.0.1", m_port)),
      m_tls(std::make_unique<Tls>(std::move(psk))) {
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

void FakeTrapper::follow(Script script) {
  const std::lock_guard lock(m_mutex);
  m_script = std::move(script);
  m_next = 0;
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

void FakeTrapper::serve(const std::stop_token& stop) {
  std::vector<Channel> held;
  for (;;) {
    auto accepted = accept_one(stop);
    if (!accepted) {
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
    Channel channel{std::move(*accepted), Ssl()};
    if (m_tls) {
      channel.ssl = m_tls->accept(channel.fd.get());
      if (!channel.ssl) {
        (void)next_reply();
        const std::lock_guard lock(m_mutex);
        m_received.push_back(Request{});
        continue; // the handshake failed: nothing was read
      }
    }
    Request request = read_request(channel, stop);
    // A request that did not parse still counts as one value.
    const std::size_t values = std::max<std::size_t>(request.items.size(), 1);
    {
      const std::lock_guard lock(m_mutex);
      m_received.push_back(std::move(request));
    }
    const Reply reply = next_reply();
    switch (reply.kind()) {
    case Reply::Kind::ok:
      write_all(channel, success_bytes(values, 0));
      break;
    case Reply::Kind::failed_items:
      write_all(channel, success_bytes(0, values));
      break;
    case Reply::Kind::failure:
      write_all(
          channel,
          Reply::framed(
              R"({"response":"failed","info":"cannot parse as a valid JSON object"})")
              .bytes());
      break;
    case Reply::Kind::close_early:
      break;
    case Reply::Kind::never_answer:
      held.push_back(std::move(channel));
      break;
    case Reply::Kind::raw:
      write_all(channel, reply.bytes());
      break;
    case Reply::Kind::slow:
      if (pause_for(reply.pause(), stop)) {
        write_all(channel, Reply::ok_bytes());
      }
      break;
    case Reply::Kind::trickle:
      for (const char byte : Reply::ok_bytes()) {
        if (!pause_for(reply.pause(), stop)) {
          break;
        }
        write_all(channel, std::string(1, byte));
      }
      break;
    case Reply::Kind::cut:
      write_all(channel, Reply::ok_bytes().substr(0, reply.cut_at()));
      break;
    case Reply::Kind::close_before_reading:
      break; // handled before the request is read
    }
  }
}

} // namespace test_support
