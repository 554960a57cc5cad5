#pragma once

#include "billing/records.h"
#include "monitoring/zabbix_server.h"

#include <string_view>

namespace monitoring {

/// Sends, for `host`: the four totals, the discovery document under
/// "discovery_clientes", then valor_divida[id] and titulos_em_atraso[id] for
/// every client, each call finished before the next. The first failed send
/// ends the publication with its ZabbixError.
void publish_to_zabbix(const ZabbixServer& server,
                       std::string_view host,
                       const billing::Collection& collection);

} // namespace monitoring
