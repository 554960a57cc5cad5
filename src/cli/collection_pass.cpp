#include "cli/collection_pass.h"

#include "billing/collect.h"
#include "monitoring/debug_report.h"
#include "monitoring/publication.h"
#include "monitoring/sender_settings.h"
#include "timeseries/store_publication.h"
#include "timeseries/store_settings.h"

#include <vector>

namespace cli {
namespace {

#ifndef TARVO_DEFAULT_ZABBIX_SERVER
#error "TARVO_DEFAULT_ZABBIX_SERVER must be set by the build"
#endif

} // namespace

console::Environment hop_environment() {
  std::vector<std::string_view> names;
  for (const auto name : monitoring::sender_variables()) {
    names.push_back(name);
  }
  for (const auto name : timeseries::store_variables()) {
    names.push_back(name);
  }
  return console::environment_of(names);
}

void run_collection_pass(const console::RunSettings& settings,
                         const console::Environment& environment,
                         std::ostream& out,
                         std::ostream& err) {
  if (settings.zabbix_host == "debug") {
    monitoring::print_debug_report(out, billing::collect_clients(settings));
    return;
  }
  // Settings that cannot be used end the run before the database is read:
  // a bad key file found after a long query wastes the query.
  const monitoring::ZabbixSender zabbix(
      monitoring::zabbix_nodes(environment, TARVO_DEFAULT_ZABBIX_SERVER),
      monitoring::sender_options(environment));
  const timeseries::StoreAccess store = timeseries::store_access(environment);

  const billing::Collection collection = billing::collect_clients(settings);
  // A failed send to Zabbix leaves here as an exception: the store is not
  // written and no "OK" follows.
  const monitoring::PublicationResult published =
      monitoring::publish_to_zabbix(zabbix, settings.zabbix_host, collection);
  if (const auto warning =
          monitoring::refusal_warning(published, settings.zabbix_host)) {
    err << *warning << std::flush;
  }
  // The store's failures are its own lines; the pass goes on to "OK".
  timeseries::publish_to_store(settings, collection.clients, out, err, store);
  out << "OK\n";
}

} // namespace cli
