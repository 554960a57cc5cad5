#pragma once

#include "console/environment.h"
#include "monitoring/zabbix_sender.h"

#include <string>

namespace monitoring {

/// The sender's opt-in settings as environment variables give them, named
/// after zabbix_sender's options: each variable that is set, by name.
using SenderEnvironment = console::Environment;

/// The sender's variables (ZABBIX_BATCH_SIZE and the ZABBIX_TLS_ ones) that
/// the process's environment sets.
SenderEnvironment sender_environment();

/// The options the variables ask for; defaults for those not set. Reads the
/// PSK file. Throws ZabbixError naming the variable for a value that cannot
/// be used, a variable that the TLS mode needs and lacks or does not use,
/// and a key that is not 32 to 512 hexadecimal digits (never quoting it),
/// so a run stops before it sends anything.
SenderOptions sender_options(const SenderEnvironment& environment);

} // namespace monitoring
