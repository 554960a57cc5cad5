#include "monitoring/publication.h"

#include "console/text_form.h"
#include "monitoring/discovery_document.h"
#include "monitoring/zabbix_sender.h"

namespace monitoring {

void publish_to_zabbix(const ZabbixServer& server,
                       std::string_view host,
                       const billing::Collection& collection) {
  const auto& t = collection.totals;
  send_zabbix(server,
              host,
              "titulos_totais_em_atraso",
              console::text_form(t.titulos_totais_em_atraso));
  send_zabbix(server,
              host,
              "valor_total_divida",
              console::text_form(t.valor_total_divida));
  send_zabbix(server,
              host,
              "titulos_totais_em_aberto",
              console::text_form(t.titulos_totais_em_aberto));
  send_zabbix(server,
              host,
              "valor_total_em_aberto",
              console::text_form(t.valor_total_em_aberto));

  // Built one form at a time: the run never holds every form at once.
  DiscoveryDocument document;
  for (const auto& client : collection.clients) {
    document.add(billing::discovery_form(client));
  }
  send_zabbix(server, host, "discovery_clientes", document.finish());

  std::string key;
  for (const auto& client : collection.clients) {
    const std::string id = console::text_form(client.id);
    key = "valor_divida[" + id + "]";
    send_zabbix(server, host, key, console::text_form(client.valor_divida));
    key = "titulos_em_atraso[" + id + "]";
    send_zabbix(
        server, host, key, console::text_form(client.titulos_em_atraso));
  }
}

} // namespace monitoring
