#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace test_support {

/// One HTTP request as the double read it.
struct HttpRequest {
  std::string method;
  std::string path;      ///< target before '?'
  std::string raw_query; ///< target after '?', as sent
  std::vector<std::pair<std::string, std::string>>
      params; ///< decoded form pairs, in order
  std::vector<std::pair<std::string, std::string>>
      headers; ///< in order, names as sent
  std::string body;
  bool authorized = false; ///< the basic credentials matched

  /// The first header of that name (any case); empty when there is none.
  std::string header(std::string_view name) const;
  /// The first decoded parameter of that name; empty when there is none.
  std::string param(std::string_view name) const;
};

/// What the double does with one request.
struct HttpReply {
  enum class Kind { respond, close, never_answer, raw, close_at_head };
  Kind kind = Kind::respond;
  int status = 200;
  std::string content_type;
  std::string body;
  /// respond: wait this long before the first byte of the reply.
  std::chrono::milliseconds delay{0};
  /// respond: write the reply one byte at a time, this long between bytes.
  std::chrono::milliseconds gap{0};
  /// respond: write only this many bytes of the reply, then close.
  std::optional<std::size_t> cut;

  /// A JSON body, status 200 unless given.
  static HttpReply json(std::string body, int status = 200) {
    return make(Kind::respond, status, "application/json; charset=utf-8", body);
  }
  /// A body of any other type.
  static HttpReply
  text(int status, std::string body, std::string type = "text/plain") {
    return make(Kind::respond, status, std::move(type), std::move(body));
  }
  /// 204 without a body, as /write answers success.
  static HttpReply no_content() { return make(Kind::respond, 204, {}, {}); }
  /// The store's SHOW COLUMNS reply listing n columns named c0, c1, ...
  static HttpReply column_listing(std::size_t n);
  /// Closes the connection without a byte of reply.
  static HttpReply close_without_reply() {
    return make(Kind::close, 0, {}, {});
  }
  /// Keeps the connection open and silent until the double is destroyed.
  static HttpReply never_answer() {
    return make(Kind::never_answer, 0, {}, {});
  }
  /// Exactly these bytes instead of an HTTP reply, then close.
  static HttpReply garbage(std::string bytes) {
    return make(Kind::raw, 0, {}, std::move(bytes));
  }
  /// Closes the connection as soon as the request's head has arrived,
  /// leaving its body unread (the client then meets a reset or a broken
  /// pipe while it still sends). The request is recorded with the part of
  /// the body that had arrived.
  static HttpReply close_at_head() {
    return make(Kind::close_at_head, 0, {}, {});
  }

  /// This reply, started only after `wait`.
  HttpReply after(std::chrono::milliseconds wait) const {
    HttpReply r = *this;
    r.delay = wait;
    return r;
  }
  /// This reply, written one byte at a time with `pause` between bytes.
  HttpReply trickled(std::chrono::milliseconds pause) const {
    HttpReply r = *this;
    r.gap = pause;
    return r;
  }
  /// The first `bytes` bytes of this reply (status line and headers
  /// included), then close.
  HttpReply cut_at(std::size_t bytes) const {
    HttpReply r = *this;
    r.cut = bytes;
    return r;
  }

private:
  static HttpReply
  make(Kind kind, int status, std::string type, std::string body) {
    HttpReply r;
    r.kind = kind;
    r.status = status;
    r.content_type = std::move(type);
    r.body = std::move(body);
    return r;
  }
};

/// Replies to authorized requests, in arrival order; once exhausted, /write
/// gets 204 and every other path {"ddl":"OK"}.
using HttpScript = std::vector<HttpReply>;

/// An HTTP/1.1 double of the time-series store, listening on one loopback
/// address and port and serving every connection (keep-alive included) from
/// its own thread. Requests without the expected basic credentials get the
/// store's 401 and do not use up the script.
class FakeQuestDb {
public:
  struct Options {
    std::string address = "127.0.0.1";
    std::uint16_t port = 0; ///< 0: any free port
    HttpScript script;
    std::string user = "korviadmin";
    std::string password = "sentinelKQ";
    /// When set, "Bearer <token>" is the expected authorization instead.
    std::string token = {};
  };

  explicit FakeQuestDb(Options options);
  FakeQuestDb(const FakeQuestDb&) = delete;
  FakeQuestDb& operator=(const FakeQuestDb&) = delete;
  ~FakeQuestDb();

  std::uint16_t port() const { return m_port; }
  const std::string& address() const { return m_options.address; }

  /// Requests read so far, in arrival order. Thread-safe.
  std::vector<HttpRequest> requests() const;

private:
  struct Connection;
  void serve(const std::stop_token& stop);
  bool handle_input(Connection& connection);
  bool close_at_head(HttpRequest request, std::string partial_body);
  HttpReply reply_for(const HttpRequest& request);

  Options m_options;
  std::string m_expected_auth;
  mutable std::mutex m_mutex;
  std::size_t m_next = 0;
  std::vector<HttpRequest> m_requests;
  int m_listener = -1;
  std::uint16_t m_port = 0;
  std::jthread m_thread; // last: stops and joins before the members above go
};

/// Base64 of text, as basic authentication carries it.
std::string base64(std::string_view text);

/// Decodes application/x-www-form-urlencoded text ('+' is a space, %xx a byte).
std::string form_decode(std::string_view text);

} // namespace test_support
