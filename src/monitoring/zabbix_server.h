#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace monitoring {

/// The trapper port of a Zabbix server when the address names none.
inline constexpr std::uint16_t k_default_trapper_port = 10051;

/// Where the Zabbix trapper listens: a host name or address (IPv6 without
/// brackets) and a TCP port.
struct ZabbixServer {
  std::string host;
  std::uint16_t port = k_default_trapper_port;
};

/// Reads "host", "host:port", "[v6addr]" or "[v6addr]:port"; the port is
/// decimal, 1..65535. Throws ZabbixError for any other text.
ZabbixServer parse_zabbix_server(std::string_view text);

/// "host:port", or "[host]:port" when host holds a colon; for messages.
std::string server_text(const ZabbixServer& server);

} // namespace monitoring
