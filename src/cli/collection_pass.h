#pragma once

#include "console/run_settings.h"
#include "monitoring/sender_settings.h"

#include <ostream>
#include <string_view>

namespace monitoring {

/// The collection pass: reads the billing database, then prints the debug
/// report when zabbix_host is exactly "debug", or otherwise publishes the
/// totals, the discovery document and two values per client to the
/// monitoring server at zabbix_server, one address or the nodes of a cluster
/// separated by ';' (sent as `sender` asks; these settings are checked
/// before the database is read, and ignored in debug mode), tells on
/// standard error how many values the server refused, if any, writes one row
/// per client to the time-series store and prints "OK". Returns when the run
/// may end normally; any failure is an exception.
void discovery_clientes(const console::RunSettings& settings,
                        std::string_view zabbix_server,
                        std::ostream& out,
                        const SenderEnvironment& sender = {});

} // namespace monitoring
