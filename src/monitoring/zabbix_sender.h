#pragma once

#include "monitoring/route.h"
#include "monitoring/sender_protocol.h"
#include "monitoring/zabbix_error.h"
#include "monitoring/zabbix_server.h"
#include "transport/tls_credentials.h"

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

namespace transport {
class TlsContext;
}

namespace monitoring {

/// How long one connection attempt (per resolved address) may take, as
/// zabbix_sender's own connect time-out (CONFIG_TIMEOUT, 3 s).
inline constexpr std::chrono::milliseconds k_connect_timeout{3'000};

/// How long writing the request and reading the whole reply may take
/// together, once connected.
inline constexpr std::chrono::milliseconds k_reply_timeout{15'000};

/// The sender's own time-outs; both are further cut by the run's bound.
struct SenderTimeouts {
  std::chrono::milliseconds connect = k_connect_timeout;
  std::chrono::milliseconds reply = k_reply_timeout;
};

/// Most values one request may carry (ZABBIX_BATCH_SIZE).
inline constexpr std::size_t k_max_batch_size = 10'000;

/// How the sender talks to its server, fixed for the whole run.
struct SenderOptions {
  SenderTimeouts timeouts;
  /// Values per request: 1 sends each value on its own; more lets the
  /// publication pack consecutive values into one request.
  std::size_t batch_size = 1;
  /// TLS with these credentials, the same for every node; none:
  /// unencrypted. The sender moves them into its TLS context.
  std::optional<transport::TlsCredentials> tls;
};

/// The Zabbix sender of one run: built once from the server's address (or
/// the nodes of a high-availability cluster) and its options, it sends one
/// request at a time, each over a connection of its own (the trapper
/// answers one request per connection), plain or TLS.
///
/// Where each request goes is the Route's rule: the node that took the
/// previous request, the next node when a connection cannot be opened, the
/// address a proxy group's redirect names. Only a request that was not
/// written, or that a redirect says was not processed, goes elsewhere: once
/// a byte was written, any other failure ends there, so no value goes to
/// two servers.
class ZabbixSender {
public:
  /// Loads the TLS credentials the options ask for; throws ZabbixError when
  /// they cannot be used, before anything is sent. Resolves nothing yet.
  explicit ZabbixSender(std::vector<ZabbixServer> nodes,
                        SenderOptions options = {});
  /// One server.
  explicit ZabbixSender(ZabbixServer server, SenderOptions options = {});
  ~ZabbixSender();
  ZabbixSender(const ZabbixSender&) = delete;
  ZabbixSender& operator=(const ZabbixSender&) = delete;

  /// Sends `request` and waits for the server's answer. Returns it when the
  /// server answered "success", whatever its count of failed values;
  /// follows redirects as the Route allows. Throws ZabbixError, naming the
  /// server (the one that took the connection, or every address tried when
  /// none did, each with its own reason) and the request, for every failure
  /// to resolve, connect, negotiate TLS, send or read, for a malformed reply,
  /// a redirect that cannot be followed and any other answer; lets
  /// console::TimeoutException through when the run's bound ends a wait.
  ServerAnswer send(Request& request) const;

  const std::vector<ZabbixServer>& nodes() const { return m_route.nodes(); }
  const SenderOptions& options() const { return m_options; }

private:
  SenderOptions m_options;
  std::unique_ptr<const transport::TlsContext> m_tls; // none when unencrypted
  // Where the run's requests go: routing state, not the sender's settings,
  // so sending stays a const operation for the publication.
  mutable Route m_route;
};

/// Hands one value to the Zabbix trapper at `server` for item `key` of
/// monitored host `host`, in a request of its own; as ZabbixSender::send.
ServerAnswer send_zabbix(const ZabbixServer& server,
                         std::string_view host,
                         std::string_view key,
                         std::string_view value,
                         const SenderTimeouts& timeouts = {});

} // namespace monitoring
