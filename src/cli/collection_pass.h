#pragma once

#include "console/environment.h"
#include "console/run_settings.h"

#include <ostream>

namespace cli {

/// Every variable that sets either hop up (ZABBIX_SERVER, ZABBIX_…,
/// QUESTDB_…) that the process's environment sets: the one place a run reads
/// its environment.
console::Environment hop_environment();

/// The collection pass, the run's whole story: with zabbix_host exactly
/// "debug", reads the billing database and prints the debug report on `out`,
/// reading no hop setting. Otherwise reads both hops' settings from
/// `environment` (ZABBIX_SERVER, the build's default when it is not set) and
/// refuses unusable ones before the database is read; reads the database;
/// publishes the totals, the discovery document and two values per client to
/// Zabbix, telling on `err` how many values the server refused, if any;
/// writes one row per client to the store (its failures are lines on `out`
/// and `err`, and the pass goes on); prints "OK" on `out`. A failed Zabbix
/// send ends the pass there, before the store, as any other exception does.
void run_collection_pass(const console::RunSettings& settings,
                         const console::Environment& environment,
                         std::ostream& out,
                         std::ostream& err);

} // namespace cli
