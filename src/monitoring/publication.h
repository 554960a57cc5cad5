#pragma once

#include "billing/records.h"
#include "monitoring/zabbix_sender.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace monitoring {

/// What the server made of a publication's values, from its replies.
struct PublicationResult {
  std::uint64_t sent = 0; ///< values in the requests the server answered
};

/// Sends, for `host`: the four totals, the discovery document under
/// "discovery_clientes", then valor_divida[id] and titulos_em_atraso[id] for
/// every client, in that order, one request at a time. With a batch size of
/// 1 each value is a request; with more, consecutive values share requests
/// of up to that many, the totals together, the document always alone (so
/// the server has it before any client's value), then the clients' values.
/// The first failed request ends the publication with its ZabbixError;
/// requests already answered stay sent.
PublicationResult publish_to_zabbix(const ZabbixSender& sender,
                                    std::string_view host,
                                    const billing::Collection& collection);

} // namespace monitoring
