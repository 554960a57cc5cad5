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
  std::uint64_t sent = 0;    ///< values in the requests the server answered
  std::uint64_t refused = 0; ///< of them, counted as failed by the server
  /// Of the refused, the totals and the discovery document: values of the
  /// host itself, which no run's discovery creates.
  std::uint64_t refused_of_host = 0;
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

/// The "Aviso: " line (with its line feed) that tells the operator how many
/// values the server refused and what to check; nothing when none was.
std::optional<std::string> refusal_warning(const PublicationResult& result,
                                           std::string_view host);

} // namespace monitoring
