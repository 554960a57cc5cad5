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
  // The store's settings are checked before the database is read; the debug
  // report publishes nothing and needs none.
  const timeseries::StoreAccess store =
      settings.zabbix_host == "debug"
          ? timeseries::StoreAccess{}
          : timeseries::store_access(timeseries::store_environment());
  const billing::Collection collection = billing::collect_clients(settings);
  if (settings.zabbix_host == "debug") {
    billing::print_debug_report(out, collection);
    return;
  }
  const ZabbixSender zabbix(parse_zabbix_server(zabbix_server),
                            sender_options(sender));
  const PublicationResult published =
      publish_to_zabbix(zabbix, settings.zabbix_host, collection);
  if (const auto warning = refusal_warning(published, settings.zabbix_host)) {
    std::cerr << *warning << std::flush;
  }
  timeseries::sendQuestDB(settings, collection.clients, out, std::cerr, store);
  out << "OK\n";
}

} // namespace monitoring
