#pragma once

#include "monitoring/zabbix_server.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

// The Zabbix sender protocol as bytes: requests framed for the trapper and
// its replies parsed, with no socket in sight, so that every rule here can be
// checked (and fuzzed) on plain buffers.
namespace monitoring {

/// Bytes of a frame header: "ZBXD", flags, u32le length, u32le reserved.
inline constexpr std::size_t k_header_size = 13;

/// Largest reply payload accepted (bytes); a trapper's reply is a short
/// object, so anything larger is a peer speaking something else.
inline constexpr std::uint32_t k_max_reply_size = 16U * 1024U * 1024U;

/// One sender request for one monitored host, filled value by value and
/// framed as the trapper reads it: "ZBXD", flags 0x01, the payload's length
/// (u32le), 0 (u32le), then {"request":"sender data","data":[{"host":…,
/// "key":…,"value":…},…]}. Every value travels as a JSON string, as
/// zabbix_sender sends it; the server converts it to its item's type.
class Request {
public:
  explicit Request(std::string_view host);

  /// Appends the value of item `key`. The request must not be framed yet.
  void add(std::string_view key, std::string_view value);

  /// Values added so far.
  std::size_t size() const { return m_values; }

  /// Names the request in messages: "chave K" for one value, "N valores,
  /// chaves K1 … Kn" for several.
  std::string label() const;

  /// The framed request; after this no value may be added. Throws
  /// ZabbixError when the payload outgrows the 4 GiB its length field holds.
  std::string_view frame();

private:
  std::string m_host_json; // the host as a JSON string, written once
  std::string m_bytes;
  std::size_t m_values = 0;
  std::string m_first_key;
  std::string m_last_key;
  bool m_framed = false;
};

/// The counts of a reply's "info" ("processed: P; failed: F; total: T; ...").
struct ReplyCounts {
  std::uint64_t processed = 0;
  std::uint64_t failed = 0;
  std::uint64_t total = 0;
};

/// What the server answered to a request it took ("response":"success").
struct ServerAnswer {
  /// The counts, when "info" carries them in the trapper's own format.
  std::optional<ReplyCounts> counts;
};

/// A request the server did not process but sent elsewhere: Zabbix 7.0
/// answers "failed" with {"redirect":{"revision":R,"address":"host:port"}}
/// when the host is monitored by another proxy of a proxy group.
struct Redirect {
  /// Where the request belongs (port 10051 when the address names none).
  ZabbixServer target;
  /// The proxy group's assignment it reflects; a later move counts higher.
  std::uint64_t revision = 0;
  /// {"redirect":{"reset":true}}: the address that redirected before no
  /// longer serves the host; go back to the configured servers.
  bool reset = false;
};

/// What a reply says: the server took the request, or sent it elsewhere.
using TrapperReply = std::variant<ServerAnswer, Redirect>;

/// Longest redirect address accepted, in bytes (Zabbix keeps 255).
inline constexpr std::size_t k_max_redirect_address = 255;

/// The payload length that a reply's header announces. `header` holds the
/// bytes that arrived of it (fewer than 13 when the peer closed early).
/// Throws ZabbixError (reason only) for a missing, short or unframed header,
/// unsupported flags and an oversized length.
std::uint32_t reply_length(std::span<const unsigned char> header);

/// Throws ZabbixError (reason only) when fewer than `length` payload bytes
/// arrived.
void require_whole_payload(std::size_t arrived, std::uint32_t length);

/// The server's answer in a reply payload: "success", or "failed" with a
/// redirect. Throws ZabbixError (reason only) for a payload that is not a
/// JSON object with a string "response", for a redirect whose address or
/// revision cannot be used, and for any other response (its "info" quoted).
TrapperReply read_answer(std::string_view payload);

/// Reads one reply through `read_up_to`, which fills a span with what
/// arrives and returns how many bytes did (fewer only when the peer ended
/// the stream): the header, then exactly the announced payload (anything
/// after it is not read). Throws ZabbixError as the three steps above do,
/// and whatever `read_up_to` throws.
template <class ReadUpTo> TrapperReply read_reply(ReadUpTo&& read_up_to) {
  std::array<unsigned char, k_header_size> header{};
  const std::size_t got = read_up_to(std::span<unsigned char>(header));
  const std::uint32_t length = reply_length({header.data(), got});
  std::string payload(length, '\0');
  // std::string's bytes are char; the reader only needs their address.
  auto* bytes = static_cast<unsigned char*>(static_cast<void*>(payload.data()));
  require_whole_payload(read_up_to(std::span<unsigned char>(bytes, length)),
                        length);
  return read_answer(payload);
}

/// A whole reply held in memory, read as read_reply reads it from a peer
/// that then closes.
TrapperReply parse_reply(std::string_view bytes);

/// The counts in an "info" text, when it starts "processed: P; failed: F;
/// total: T" (decimal, as the trapper writes them).
std::optional<ReplyCounts> parse_info(std::string_view info);

} // namespace monitoring
