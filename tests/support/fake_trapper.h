#pragma once

#include "monitoring/fd.h"

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

namespace test_support {

/// What the fake trapper does with one connection, after reading its request.
class Reply {
public:
  enum class Kind { ok, failed_items, failure, close_early, never_answer, raw };

  /// "success", processed: 1; failed: 0.
  static Reply ok() { return Reply(Kind::ok, {}); }
  /// "success", processed: 0; failed: 1 (unknown host or key).
  static Reply failed_items() { return Reply(Kind::failed_items, {}); }
  /// "response":"failed" with an info text.
  static Reply failure() { return Reply(Kind::failure, {}); }
  /// Closes the connection without a byte of reply.
  static Reply close_early() { return Reply(Kind::close_early, {}); }
  /// Keeps the connection open and silent until the trapper is destroyed.
  static Reply never_answer() { return Reply(Kind::never_answer, {}); }
  /// Bytes that do not start with ZBXD.
  static Reply garbage() { return raw("HTTP/1.1 400 Bad Request\r\n\r\n"); }
  /// Exactly these bytes, then close.
  static Reply raw(std::string bytes) {
    return Reply(Kind::raw, std::move(bytes));
  }
  /// A ZBXD frame (flags 0x01) around this payload, then close.
  static Reply framed(const std::string& payload);

  Kind kind() const { return m_kind; }
  const std::string& bytes() const { return m_bytes; }

private:
  Reply(Kind kind, std::string bytes)
      : m_kind(kind), m_bytes(std::move(bytes)) {}
  Kind m_kind;
  std::string m_bytes;
};

/// Replies in connection order; once exhausted, every connection gets ok().
using Script = std::vector<Reply>;

/// One request as it arrived.
struct Request {
  std::string raw; ///< every byte read from the connection, header included
  std::string host;
  std::string key;
  std::string
      value; ///< decoded JSON string; empty when the payload did not parse
};

/// A Zabbix trapper double on 127.0.0.1 (ephemeral port), serving connections
/// one after another from its own thread and following its script.
class FakeTrapper {
public:
  explicit FakeTrapper(Script script = {});
  FakeTrapper(const FakeTrapper&) = delete;
  FakeTrapper& operator=(const FakeTrapper&) = delete;
  ~FakeTrapper();

  /// The TCP port it listens on.
  std::uint16_t port() const { return m_port; }

  /// Requests read so far, in arrival order. Thread-safe.
  std::vector<Request> received() const;

  /// Once `accepted` connections have been accepted in total, closes the
  /// listening socket, so later connects are refused. Call it before the
  /// connections it concerns.
  void stop_listening_after(std::size_t accepted);

private:
  void serve(const std::stop_token& stop);
  std::optional<monitoring::Fd> accept_one(const std::stop_token& stop);
  Request read_request(int fd, const std::stop_token& stop);
  Reply next_reply();

  mutable std::mutex m_mutex;
  Script m_script;
  std::size_t m_next = 0;
  std::size_t m_accepted = 0;
  std::optional<std::size_t> m_listen_limit;
  std::vector<Request> m_received;
  monitoring::Fd m_listener;
  std::uint16_t m_port = 0;
  std::jthread m_thread; // last: stops and joins before the members above go
};

} // namespace test_support
