#include "monitoring/collection_pass.h"

#include "billing/collect.h"
#include "billing/debug_report.h"
#include "monitoring/publication.h"
#include "timeseries/store_settings.h"
#include "timeseries/timeseries_sender.h"

#include <iostream>

namespace monitoring {

void discovery_clientes(const console::RunSettings& settings,
                        std::string_view zabbix_server,
                        std::ostream& out,
                        const SenderEnvironment& sender) {
  if (settings.zabbix_host == "debug") {
    billing::print_debug_report(out, billing::collect_clients(settings));
    return;
  }
  // Settings that cannot be used end the run before the database is read:
  // a bad key file found after a long query wastes the query.
  const ZabbixSender zabbix(parse_zabbix_nodes(zabbix_server),
                            sender_options(sender));
  const timeseries::StoreAccess store =
      timeseries::store_access(timeseries::store_environment());
  const billing::Collection collection = billing::collect_clients(settings);
  const PublicationResult published =
      publish_to_zabbix(zabbix, settings.zabbix_host, collection);
  if (const auto warning = refusal_warning(published, settings.zabbix_host)) {
    std::cerr << *warning << std::flush;
  }
  timeseries::sendQuestDB(settings, collection.clients, out, std::cerr, store);
  out << "OK\n";
}

} // namespace monitoring
