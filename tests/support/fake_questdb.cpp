#include "support/fake_questdb.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace test_support {
namespace {

// Short polls so that destruction (stop request) is noticed promptly.
constexpr int k_poll_ms = 20;

bool same_name(std::string_view a, std::string_view b) {
  return a.size() == b.size()
         && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
              return std::tolower(static_cast<unsigned char>(x))
                     == std::tolower(static_cast<unsigned char>(y));
            });
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

std::string reason(int status) {
  switch (status) {
  case 200:
    return "OK";
  case 204:
    return "No Content";
  case 400:
    return "Bad Request";
  case 401:
    return "Unauthorized";
  case 403:
    return "Forbidden";
  case 404:
    return "Not Found";
  case 500:
    return "Internal Server Error";
  case 503:
    return "Service Unavailable";
  default:
    return "Status";
  }
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

std::string render(const HttpReply& reply) {
  std::string text = "HTTP/1.1 " + std::to_string(reply.status) + " "
                     + reason(reply.status) + "\r\n";
  if (reply.status == 401) {
    text += "WWW-Authenticate: Basic realm=\"questdb\", charset=\"UTF-8\"\r\n";
  }
  if (reply.status != 204) {
    if (!reply.content_type.empty()) {
      text += "Content-Type: " + reply.content_type + "\r\n";
    }
    text += "Content-Length: " + std::to_string(reply.body.size()) + "\r\n";
  }
  text += "\r\n";
  if (reply.status != 204) {
    text += reply.body;
  }
  return text;
}

} // namespace

struct FakeQuestDb::Connection {
  int fd = -1;
  std::string input;
  bool silent = false;
  bool continued = false;
  Connection() = default;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  ~Connection() {
    if (fd >= 0) {
      ::close(fd);
    }
  }
};

HttpReply HttpReply::column_listing(std::size_t n) {
  std::string dataset;
  for (std::size_t i = 0; i < n; ++i) {
    dataset += (i == 0 ? "" : ",") + std::string("[\"c") + std::to_string(i)
               + "\",\"INT\",false,0,false,0,false,false]";
  }
  return json(
      R"({"query":"SHOW COLUMNS FROM tarvoClientes","columns":[{"name":"column","type":"STRING"}],)"
      R"("timestamp":-1,"dataset":[)"
      + dataset + "],\"count\":" + std::to_string(n) + "}");
}

std::string HttpRequest::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (same_name(key, name)) {
      return value;
    }
  }
  return {};
}

std::string HttpRequest::param(std::string_view name) const {
  for (const auto& [key, value] : params) {
    if (key == name) {
      return value;
    }
  }
  return {};
}

std::string base64(std::string_view text) {
  static constexpr char k_digits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t i = 0;
  for (; i + 2 < text.size(); i += 3) {
    const unsigned v =
        (static_cast<unsigned>(static_cast<unsigned char>(text[i])) << 16U)
        | (static_cast<unsigned>(static_cast<unsigned char>(text[i + 1])) << 8U)
        | static_cast<unsigned>(static_cast<unsigned char>(text[i + 2]));
    out += k_digits[(v >> 18U) & 63U];
    out += k_digits[(v >> 12U) & 63U];
    out += k_digits[(v >> 6U) & 63U];
    out += k_digits[v & 63U];
  }
  if (i + 1 == text.size()) {
    const unsigned v =
        static_cast<unsigned>(static_cast<unsigned char>(text[i])) << 16U;
    out += k_digits[(v >> 18U) & 63U];
    out += k_digits[(v >> 12U) & 63U];
    out += "==";
  } else if (i + 2 == text.size()) {
    const unsigned v =
        (static_cast<unsigned>(static_cast<unsigned char>(text[i])) << 16U)
        | (static_cast<unsigned>(static_cast<unsigned char>(text[i + 1]))
           << 8U);
    out += k_digits[(v >> 18U) & 63U];
    out += k_digits[(v >> 12U) & 63U];
    out += k_digits[(v >> 6U) & 63U];
    out += '=';
  }
  return out;
}

std::string form_decode(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      out += ' ';
    } else if (text[i] == '%' && i + 2 < text.size()
               && hex_value(text[i + 1]) >= 0 && hex_value(text[i + 2]) >= 0) {
      out += static_cast<char>(hex_value(text[i + 1]) * 16
                               + hex_value(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

FakeQuestDb::FakeQuestDb(Options options) : m_options(std::move(options)) {
  m_expected_auth =
      m_options.token.empty()
          ? "Basic " + base64(m_options.user + ":" + m_options.password)
          : "Bearer " + m_options.token;
  m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (m_listener < 0) {
    throw std::system_error(errno, std::system_category(), "fake store socket");
  }
  const int yes = 1;
  ::setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(m_options.port);
  if (::inet_pton(AF_INET, m_options.address.c_str(), &address.sin_addr) != 1) {
    ::close(m_listener);
    throw std::invalid_argument("fake store address " + m_options.address);
  }
  // sockaddr_in is the documented layout behind sockaddr for AF_INET.
  auto* generic = reinterpret_cast<sockaddr*>(&address);
  socklen_t length = sizeof address;
  if (::bind(m_listener, generic, length) != 0 || ::listen(m_listener, 16) != 0
      || ::getsockname(m_listener, generic, &length) != 0) {
    const int error = errno;
    ::close(m_listener);
    throw std::system_error(error,
                            std::system_category(),
                            "fake store bind " + m_options.address + ":"
                                + std::to_string(m_options.port));
  }
  m_port = ntohs(address.sin_port);
  m_thread = std::jthread([this](const std::stop_token& stop) { serve(stop); });
}

FakeQuestDb::~FakeQuestDb() {
  m_thread.request_stop();
  if (m_thread.joinable()) {
    m_thread.join();
  }
  ::close(m_listener);
}

std::vector<HttpRequest> FakeQuestDb::requests() const {
  const std::lock_guard lock(m_mutex);
  return m_requests;
}

HttpReply FakeQuestDb::reply_for(const HttpRequest& request) {
  const std::lock_guard lock(m_mutex);
  m_requests.push_back(request);
  if (!request.authorized) {
    return HttpReply::text(401, "Unauthorized\r\n");
  }
  if (m_next < m_options.script.size()) {
    return m_options.script[m_next++];
  }
  if (request.path == "/write") {
    return HttpReply::no_content();
  }
  return HttpReply::json(R"({"ddl":"OK"})");
}

// When the next reply closes at the head, records the request with the body
// bytes that came so far and uses the reply up; true when the connection is
// to be closed now.
bool FakeQuestDb::close_at_head(HttpRequest request, std::string partial_body) {
  const std::lock_guard lock(m_mutex);
  if (m_next >= m_options.script.size()
      || m_options.script[m_next].kind != HttpReply::Kind::close_at_head) {
    return false;
  }
  request.authorized = request.header("Authorization") == m_expected_auth;
  request.body = std::move(partial_body);
  m_requests.push_back(std::move(request));
  ++m_next;
  return true;
}

// Takes every complete request out of the connection's input and answers it;
// false when the connection is to be closed.
bool FakeQuestDb::handle_input(Connection& connection) {
  for (;;) {
    const std::size_t head_end = connection.input.find("\r\n\r\n");
    if (head_end == std::string::npos) {
      return true;
    }
    HttpRequest request;
    const std::string head = connection.input.substr(0, head_end);
    std::size_t line_end = head.find("\r\n");
    const std::string request_line = head.substr(0, line_end);
    const std::size_t space1 = request_line.find(' ');
    const std::size_t space2 = request_line.find(' ', space1 + 1);
    request.method = request_line.substr(0, space1);
    const std::string target =
        request_line.substr(space1 + 1, space2 - space1 - 1);
    const std::size_t question = target.find('?');
    request.path = target.substr(0, question);
    if (question != std::string::npos) {
      request.raw_query = target.substr(question + 1);
      std::size_t at = 0;
      while (at <= request.raw_query.size()) {
        std::size_t amp = request.raw_query.find('&', at);
        if (amp == std::string::npos) {
          amp = request.raw_query.size();
        }
        const std::string pair = request.raw_query.substr(at, amp - at);
        const std::size_t eq = pair.find('=');
        request.params.emplace_back(
            form_decode(pair.substr(0, eq)),
            eq == std::string::npos ? "" : form_decode(pair.substr(eq + 1)));
        at = amp + 1;
      }
    }
    while (line_end != std::string::npos && line_end < head.size()) {
      const std::size_t start = line_end + 2;
      line_end = head.find("\r\n", start);
      const std::string line = head.substr(
          start,
          line_end == std::string::npos ? std::string::npos : line_end - start);
      const std::size_t colon = line.find(':');
      std::string value =
          colon == std::string::npos ? "" : line.substr(colon + 1);
      value.erase(0, value.find_first_not_of(' '));
      request.headers.emplace_back(line.substr(0, colon), value);
    }
    const std::string length_text = request.header("Content-Length");
    const std::size_t length =
        length_text.empty() ? 0 : std::stoul(length_text);
    if (close_at_head(request, connection.input.substr(head_end + 4))) {
      return false;
    }
    if (connection.input.size() < head_end + 4 + length) {
      if (!connection.continued
          && same_name(request.header("Expect"), "100-continue")) {
        write_all(connection.fd, "HTTP/1.1 100 Continue\r\n\r\n");
        connection.continued = true;
      }
      return true;
    }
    request.body = connection.input.substr(head_end + 4, length);
    connection.input.erase(0, head_end + 4 + length);
    connection.continued = false;
    request.authorized = request.header("Authorization") == m_expected_auth;
    const HttpReply reply = reply_for(request);
    switch (reply.kind) {
    case HttpReply::Kind::close:
      return false;
    case HttpReply::Kind::never_answer:
      connection.silent = true;
      return true;
    case HttpReply::Kind::raw:
      write_all(connection.fd, reply.body);
      return false;
    case HttpReply::Kind::close_at_head:
      return false; // only reached when the whole request came at once
    case HttpReply::Kind::respond: {
      if (reply.delay.count() > 0) {
        std::this_thread::sleep_for(reply.delay);
      }
      std::string text = render(reply);
      if (reply.cut) {
        text.resize(std::min(text.size(), *reply.cut));
      }
      if (reply.gap.count() > 0) {
        for (const char byte : text) {
          write_all(connection.fd, std::string(1, byte));
          std::this_thread::sleep_for(reply.gap);
        }
      } else {
        write_all(connection.fd, text);
      }
      if (reply.cut || same_name(request.header("Connection"), "close")) {
        return false;
      }
      break;
    }
    }
  }
}

void FakeQuestDb::serve(const std::stop_token& stop) {
  std::vector<std::unique_ptr<Connection>> connections;
  while (!stop.stop_requested()) {
    std::vector<pollfd> fds;
    fds.push_back({m_listener, POLLIN, 0});
    for (const auto& connection : connections) {
      fds.push_back({connection->fd, POLLIN, 0});
    }
    if (::poll(fds.data(), fds.size(), k_poll_ms) <= 0) {
      continue;
    }
    std::vector<std::unique_ptr<Connection>> kept;
    for (std::size_t i = 0; i < connections.size(); ++i) {
      auto& connection = connections[i];
      bool open = true;
      if ((fds[i + 1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
        char buffer[65536];
        const ssize_t n = ::recv(connection->fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
          open = false;
        } else if (!connection->silent) {
          connection->input.append(buffer, static_cast<std::size_t>(n));
          open = handle_input(*connection);
        }
      }
      if (open) {
        kept.push_back(std::move(connection));
      }
    }
    connections = std::move(kept);
    if ((fds[0].revents & POLLIN) != 0) {
      const int fd = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) {
        auto connection = std::make_unique<Connection>();
        connection->fd = fd;
        connections.push_back(std::move(connection));
      }
    }
  }
}

} // namespace test_support
