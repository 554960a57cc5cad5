#pragma once

#include "transport/fd.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace test_support {

/// What the fake trapper does with one connection, after reading its request.
class Reply {
public:
  enum class Kind {
    ok,
    failed_items,
    failure,
    close_early,
    never_answer,
    raw,
    slow,
    trickle,
    cut,
    close_before_reading
  };

  /// "success", every value of the request processed.
  static Reply ok() { return Reply(Kind::ok, {}); }
  /// "success", every value of the request failed (unknown host or key).
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
  /// The header fields of a frame; each left unset takes what a well-formed
  /// frame holds.
  struct Header {
    unsigned char flags = 0x01;
    std::optional<std::uint32_t> length; ///< unset: the payload's length
    std::uint32_t reserved = 0;
  };
  /// A ZBXD frame around this payload, then close: "ZBXD", flags, length
  /// (u32le), reserved (u32le), payload. The suite's one frame builder, for
  /// replies and for the requests a test expects alike (bytes()).
  static Reply framed(std::string_view payload, Header header);
  static Reply framed(std::string_view payload) {
    return framed(payload, Header{});
  }
  /// "failed" with a redirect to `address` ("host:port") at `revision`, as
  /// Zabbix 7.0 answers for a host that another proxy of its group monitors:
  /// the request was not processed.
  static Reply redirect(std::string_view address, std::uint64_t revision);
  /// The ok() reply, written whole after `delay`.
  static Reply slow(std::chrono::milliseconds delay) {
    return Reply(Kind::slow, {}, delay);
  }
  /// The ok() reply, written one byte at a time with `gap` between bytes.
  static Reply trickle(std::chrono::milliseconds gap) {
    return Reply(Kind::trickle, {}, gap);
  }
  /// The first `bytes` bytes of the ok() reply, then close: a reply cut in
  /// the middle (in the header below 13 bytes, in the JSON above).
  static Reply cut(std::size_t bytes) {
    return Reply(Kind::cut, {}, std::chrono::milliseconds(0), bytes);
  }
  /// Closes the connection as soon as it is accepted, without reading the
  /// request: a large request then meets a reset or a broken pipe. The
  /// request is recorded with whatever bytes had already arrived (none).
  static Reply close_before_reading() {
    return Reply(Kind::close_before_reading, {});
  }
  /// The bytes of the ok() reply to a request of one value.
  static std::string ok_bytes();

  Kind kind() const { return m_kind; }
  const std::string& bytes() const { return m_bytes; }
  /// For slow() the delay, for trickle() the gap between bytes.
  std::chrono::milliseconds pause() const { return m_pause; }
  /// For cut(): how many bytes of the reply are written.
  std::size_t cut_at() const { return m_cut_at; }

private:
  Reply(Kind kind,
        std::string bytes,
        std::chrono::milliseconds pause = std::chrono::milliseconds(0),
        std::size_t cut_at = 0)
      : m_kind(kind), m_bytes(std::move(bytes)), m_pause(pause),
        m_cut_at(cut_at) {}
  Kind m_kind;
  std::string m_bytes;
  std::chrono::milliseconds m_pause{0};
  std::size_t m_cut_at = 0;
};

/// Replies in connection order; once exhausted, every connection gets ok().
using Script = std::vector<Reply>;

/// One value of a request: host, key and the decoded value.
struct Item {
  std::string host;
  std::string key;
  std::string value;
  friend bool operator==(const Item&, const Item&) = default;
};

/// One request as it arrived.
struct Request {
  std::string raw; ///< every byte read from the connection, header included
  std::vector<Item> items; ///< in request order; empty when it did not parse
  // The first value's fields, for the many requests that carry one value;
  // empty when the payload did not parse.
  std::string host;
  std::string key;
  std::string value;
};

/// A pre-shared key the trapper double terminates TLS with, as a Zabbix
/// server does for a host that accepts PSK.
struct TrapperPsk {
  std::string identity;
  std::string key_hex; ///< the key as Zabbix keeps it: hexadecimal digits
};

/// A Zabbix trapper double on 127.0.0.1 (ephemeral port), serving connections
/// one after another from its own thread and following its script; plain, or
/// TLS with a pre-shared key (a handshake with another identity or key fails
/// and the connection is recorded as a request with no bytes).
class FakeTrapper {
public:
  explicit FakeTrapper(Script script = {});
  FakeTrapper(Script script, TrapperPsk psk);
  FakeTrapper(const FakeTrapper&) = delete;
  FakeTrapper& operator=(const FakeTrapper&) = delete;
  ~FakeTrapper();

  /// The TCP port it listens on.
  std::uint16_t port() const { return m_port; }

  /// Requests read so far, in arrival order. Thread-safe.
  std::vector<Request> received() const;

  /// Replaces the script; the next connection gets its first reply. For
  /// doubles whose replies name each other's ports. Call it before the
  /// connections it concerns.
  void follow(Script script);

  /// Once `accepted` connections have been accepted in total, closes the
  /// listening socket, so later connects are refused. Call it before the
  /// connections it concerns.
  void stop_listening_after(std::size_t accepted);

private:
  struct Tls;
  void serve(const std::stop_token& stop);
  std::optional<transport::Fd> accept_one(const std::stop_token& stop);
  Reply next_reply();
  Reply peek_reply() const;

  mutable std::mutex m_mutex;
  Script m_script;
  std::size_t m_next = 0;
  std::size_t m_accepted = 0;
  std::optional<std::size_t> m_listen_limit;
  std::vector<Request> m_received;
  std::uint16_t m_port = 0; // before m_listener, which sets it
  transport::Fd m_listener;
  std::unique_ptr<Tls> m_tls; // none: plain
  std::jthread m_thread; // last: stops and joins before the members above go
};

} // namespace test_support
