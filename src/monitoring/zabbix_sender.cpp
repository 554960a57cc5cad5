#include "monitoring/zabbix_sender.h"

#include "console/deadline.h"
#include "monitoring/discovery_document.h"
#include "monitoring/fd.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstring>
#include <memory>
#include <netdb.h>
#include <nlohmann/json.hpp>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/types.h>
#include <system_error>

namespace monitoring {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::string_view k_magic = "ZBXD";
constexpr unsigned char k_flag_protocol = 0x01;
constexpr unsigned char k_flag_compressed = 0x02;
constexpr std::size_t k_header_size = 13;

struct AddrinfoFree {
  void operator()(addrinfo* a) const noexcept { freeaddrinfo(a); }
};
using Addrinfo = std::unique_ptr<addrinfo, AddrinfoFree>;

std::string errno_text(int error) {
  return std::system_category().message(error);
}

std::string ms_text(std::chrono::milliseconds ms) {
  std::array<char, 24> buf{};
  const auto [end, ec] =
      std::to_chars(buf.data(), buf.data() + buf.size(), ms.count());
  return std::string(buf.data(), end) + " ms";
}

// One exchange: its messages all start with the step, the server and the key,
// so a failed run says which of its many sends broke.
class Exchange {
public:
  Exchange(const ZabbixServer& server, std::string_view key)
      : m_prefix("enviar ao Zabbix " + server_text(server) + " (chave "
                 + std::string(key) + "): ") {}

  [[noreturn]] void fail(const std::string& reason) const {
    throw ZabbixError(m_prefix + reason);
  }

private:
  std::string m_prefix;
};

// Waits until fd is ready for `events` or `until` passes; false on our own
// time-out. Each poll is also cut to what the run's bound leaves, which
// throws console::TimeoutException once the bound is gone.
bool wait_ready(const Exchange& exchange,
                int fd,
                short events,
                Clock::time_point until) {
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
      exchange.fail("poll: " + errno_text(errno));
    }
  }
}

Addrinfo resolve(const Exchange& exchange, const ZabbixServer& server) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  std::array<char, 8> port{};
  std::to_chars(port.data(), port.data() + port.size() - 1, server.port);
  addrinfo* found = nullptr;
  const int rc =
      ::getaddrinfo(server.host.c_str(), port.data(), &hints, &found);
  Addrinfo owned(found);
  if (rc != 0) {
    const std::string detail =
        rc == EAI_SYSTEM ? errno_text(errno) : ::gai_strerror(rc);
    exchange.fail("nome não resolvido: " + detail);
  }
  return owned;
}

// Connects to one address within `timeout`; on failure returns an empty Fd
// and puts the reason in `reason`.
Fd connect_one(const Exchange& exchange,
               const addrinfo& address,
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
      if (!wait_ready(exchange, fd.get(), POLLOUT, Clock::now() + timeout)) {
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

Fd connect_any(const Exchange& exchange,
               const ZabbixServer& server,
               std::chrono::milliseconds timeout) {
  const Addrinfo addresses = resolve(exchange, server);
  std::string reason = "nenhum endereço para o nome";
  for (const addrinfo* a = addresses.get(); a != nullptr; a = a->ai_next) {
    Fd fd = connect_one(exchange, *a, timeout, reason);
    if (fd) {
      return fd;
    }
  }
  exchange.fail(reason);
}

void append_u32le(std::string& out, std::uint32_t v) {
  for (unsigned shift = 0; shift < 32; shift += 8) {
    out.push_back(static_cast<char>((v >> shift) & 0xFFU));
  }
}

std::uint32_t read_u32le(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0])
         | (static_cast<std::uint32_t>(p[1]) << 8U)
         | (static_cast<std::uint32_t>(p[2]) << 16U)
         | (static_cast<std::uint32_t>(p[3]) << 24U);
}

std::string request_packet(const Exchange& exchange,
                           std::string_view host,
                           std::string_view key,
                           std::string_view value) {
  // The header goes first with its length patched in afterwards, so a large
  // discovery document is held once in the packet, not once more as a body.
  std::string packet(k_magic);
  packet.push_back(static_cast<char>(k_flag_protocol));
  append_u32le(packet, 0);
  append_u32le(packet, 0);
  // Untouched reserved pages cost no memory; escaping grows a document by
  // its quotes and backslashes, well under half its size.
  packet.reserve(k_header_size + value.size() + value.size() / 2 + 256);
  packet += R"({"request":"sender data","data":[{"host":)";
  append_json_string(packet, host);
  packet += R"(,"key":)";
  append_json_string(packet, key);
  // zabbix_sender always sends the value as a string; the server converts
  // it to the item's type.
  packet += R"(,"value":)";
  append_json_string(packet, value);
  packet += "}]}";
  const std::size_t body_size = packet.size() - k_header_size;
  if (body_size > UINT32_MAX) {
    exchange.fail("pedido grande demais");
  }
  std::string length;
  append_u32le(length, static_cast<std::uint32_t>(body_size));
  packet.replace(k_magic.size() + 1, length.size(), length);
  return packet;
}

void write_all(const Exchange& exchange,
               int fd,
               std::string_view bytes,
               Clock::time_point until,
               std::chrono::milliseconds timeout) {
  // Each call is tried first and waited for only when the socket is not
  // ready: a request fits a fresh socket's buffer, so it rarely waits.
  while (!bytes.empty()) {
    // MSG_NOSIGNAL: a peer that has closed must give EPIPE, not kill the run.
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
        if (!wait_ready(exchange, fd, POLLOUT, until)) {
          exchange.fail("tempo esgotado ao enviar o pedido (" + ms_text(timeout)
                        + ")");
        }
        continue;
      }
      exchange.fail("enviar o pedido: " + errno_text(errno));
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

// Reads up to `size` bytes into `out`, stopping early only at end of stream;
// returns how many arrived.
std::size_t read_up_to(const Exchange& exchange,
                       int fd,
                       unsigned char* out,
                       std::size_t size,
                       Clock::time_point until,
                       std::chrono::milliseconds timeout) {
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n = ::recv(fd, out + got, size - got, 0);
    if (n == 0) {
      break;
    }
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
        if (!wait_ready(exchange, fd, POLLIN, until)) {
          exchange.fail("tempo esgotado aguardando a resposta ("
                        + ms_text(timeout) + ")");
        }
        continue;
      }
      exchange.fail("ler a resposta: " + errno_text(errno));
    }
    got += static_cast<std::size_t>(n);
  }
  return got;
}

std::string size_text(std::size_t n) {
  std::array<char, 24> buf{};
  const auto [end, ec] = std::to_chars(buf.data(), buf.data() + buf.size(), n);
  return std::string(buf.data(), end);
}

std::string read_reply(const Exchange& exchange,
                       int fd,
                       Clock::time_point until,
                       std::chrono::milliseconds timeout) {
  std::array<unsigned char, k_header_size> header{};
  const auto got =
      read_up_to(exchange, fd, header.data(), header.size(), until, timeout);
  if (got == 0) {
    exchange.fail("conexão fechada sem resposta");
  }
  if (got < k_header_size) {
    exchange.fail("cabeçalho curto na resposta (" + size_text(got)
                  + " de 13 bytes)");
  }
  if (std::memcmp(header.data(), k_magic.data(), k_magic.size()) != 0) {
    exchange.fail("resposta sem o cabeçalho ZBXD");
  }
  const unsigned char flags = header[4];
  if ((flags & k_flag_protocol) == 0) {
    exchange.fail("resposta sem a flag de protocolo 0x01");
  }
  if ((flags & k_flag_compressed) != 0) {
    exchange.fail("resposta comprimida (flag 0x02) não suportada");
  }
  if (flags != k_flag_protocol) {
    constexpr std::string_view hex = "0123456789abcdef";
    exchange.fail(std::string("flags da resposta não suportadas (0x")
                  + hex[flags >> 4U] + hex[flags & 0xFU] + ")");
  }
  const std::uint32_t length = read_u32le(header.data() + 5);
  if (length > k_max_reply_size) {
    exchange.fail("resposta grande demais (" + size_text(length) + " bytes)");
  }
  std::string body(length, '\0');
  // std::string's bytes are char; recv only needs their address.
  auto* bytes = static_cast<unsigned char*>(static_cast<void*>(body.data()));
  const auto body_got =
      read_up_to(exchange, fd, bytes, body.size(), until, timeout);
  if (body_got < body.size()) {
    exchange.fail("resposta curta (" + size_text(body_got) + " de "
                  + size_text(body.size()) + " bytes)");
  }
  return body;
}

void check_answer(const Exchange& exchange, const std::string& body) {
  nlohmann::json answer;
  try {
    answer = nlohmann::json::parse(body);
  } catch (const nlohmann::json::exception& e) {
    // Not only parse_error: a number beyond double's range (1e999) is
    // out_of_range, and it too is a malformed reply.
    exchange.fail(std::string("resposta malformada: ") + e.what());
  }
  if (!answer.is_object() || !answer.contains("response")
      || !answer["response"].is_string()) {
    exchange.fail("resposta malformada: sem o membro \"response\"");
  }
  const auto& response = answer["response"].get_ref<const std::string&>();
  if (response == "success") {
    // Items the server refused (unknown host or key) only count as
    // "failed" in info; they are not a transport failure.
    return;
  }
  std::string info;
  if (answer.contains("info") && answer["info"].is_string()) {
    info = answer["info"].get<std::string>();
  }
  exchange.fail("o servidor respondeu \"" + response + "\""
                + (info.empty() ? "" : ": " + info));
}

} // namespace

void send_zabbix(const ZabbixServer& server,
                 std::string_view host,
                 std::string_view key,
                 std::string_view value,
                 const SenderTimeouts& timeouts) {
  // Name resolution cannot be bounded by poll; at least do not start it
  // once the run is already over time.
  console::deadline::check();
  const Exchange exchange(server, key);
  const std::string packet = request_packet(exchange, host, key, value);
  const Fd fd = connect_any(exchange, server, timeouts.connect);
  const auto until = Clock::now() + timeouts.reply;
  write_all(exchange, fd.get(), packet, until, timeouts.reply);
  check_answer(exchange, read_reply(exchange, fd.get(), until, timeouts.reply));
}

void read_trapper_answer(int fd,
                         const ZabbixServer& server,
                         std::string_view key,
                         std::chrono::milliseconds timeout) {
  const Exchange exchange(server, key);
  check_answer(exchange,
               read_reply(exchange, fd, Clock::now() + timeout, timeout));
}

} // namespace monitoring
