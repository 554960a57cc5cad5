#pragma once

#include "monitoring/zabbix_error.h"
#include "monitoring/zabbix_server.h"

#include <chrono>
#include <cstdint>
#include <string_view>

namespace monitoring {

/// How long one connection attempt (per resolved address) may take, as
/// zabbix_sender's own connect time-out (CONFIG_TIMEOUT, 3 s).
inline constexpr std::chrono::milliseconds k_connect_timeout{3'000};

/// How long writing the request and reading the whole reply may take
/// together, once connected.
inline constexpr std::chrono::milliseconds k_reply_timeout{15'000};

/// Largest reply payload accepted (bytes); a trapper's reply is a short
/// object, so anything larger is a peer speaking something else.
inline constexpr std::uint32_t k_max_reply_size = 16U * 1024U * 1024U;

/// The sender's own time-outs; both are further cut by the run's bound.
struct SenderTimeouts {
  std::chrono::milliseconds connect = k_connect_timeout;
  std::chrono::milliseconds reply = k_reply_timeout;
};

/// Hands one value to the Zabbix trapper at `server` for item `key` of
/// monitored host `host`, over one TCP connection of its own, and waits for
/// the server's answer. The value travels as a JSON string. Returns once the
/// server answered "success", whatever its count of failed items. Throws
/// ZabbixError for every failure to resolve, connect, send or read, for a
/// malformed reply and for an answer other than "success"; lets
/// console::TimeoutException through when the run's bound ends a wait.
void send_zabbix(const ZabbixServer& server,
                 std::string_view host,
                 std::string_view key,
                 std::string_view value,
                 const SenderTimeouts& timeouts = {});

/// Reads the trapper's framed answer to one request from the connected socket
/// fd and checks it exactly as send_zabbix does after writing the request
/// (server and key only name the exchange in messages). Returns when the
/// answer is "success"; throws ZabbixError for a closed, short, unframed,
/// oversized or malformed reply, for an answer other than "success" and when
/// `timeout` passes.
void read_trapper_answer(int fd,
                         const ZabbixServer& server,
                         std::string_view key,
                         std::chrono::milliseconds timeout = k_reply_timeout);

} // namespace monitoring
