#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

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

/// Most nodes one ZABBIX_SERVER list may name.
inline constexpr std::size_t k_max_nodes = 16;

/// Reads one address, or the nodes of a high-availability cluster separated
/// by ';' (at most 16), each as parse_zabbix_server reads it, in the order
/// given. Throws ZabbixError for an empty node, too many nodes, a ',' (which
/// would separate server groups) and any node that cannot be read.
std::vector<ZabbixServer> parse_zabbix_nodes(std::string_view text);

/// "host:port", or "[host]:port" when host holds a colon; for messages.
std::string server_text(const ZabbixServer& server);

} // namespace monitoring
