#pragma once

#include "console/environment.h"
#include "monitoring/zabbix_sender.h"

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace monitoring {

/// The sender's settings as environment variables give them, named after
/// zabbix_sender's options: each variable that is set, by name.
using SenderEnvironment = console::Environment;

/// The sender's variables: ZABBIX_SERVER, ZABBIX_BATCH_SIZE and the
/// ZABBIX_TLS_ ones.
std::span<const std::string_view> sender_variables();

/// Those of the sender's variables that the process's environment sets.
SenderEnvironment sender_environment();

/// The server, or the nodes of a cluster, that ZABBIX_SERVER names
/// (`default_server` when it is not set), as parse_zabbix_nodes reads them.
/// Throws ZabbixError.
std::vector<ZabbixServer> zabbix_nodes(const SenderEnvironment& environment,
                                       std::string_view default_server);

/// The options the variables ask for; defaults for those not set. Reads the
/// PSK file. Throws ZabbixError naming the variable for a value that cannot
/// be used (an empty one included), a variable that the TLS mode needs and
/// lacks or does not use, and a key that is not 32 to 512 hexadecimal digits
/// (never quoting it), so a run stops before it sends anything.
SenderOptions sender_options(const SenderEnvironment& environment);

} // namespace monitoring
