#include "monitoring/publication.h"

#include "console/text_form.h"
#include "monitoring/discovery_document.h"

#include <algorithm>
#include <optional>

namespace monitoring {
namespace {

// Whose values a request carries: the host's own (totals, document) or the
// clients'. A request never mixes them, so its refusals are told apart.
enum class Owner { host, clients };

// Fills requests of up to the sender's batch size and sends each when it is
// full or when the publication closes a group.
class Batches {
public:
  Batches(const ZabbixSender& sender,
          std::string_view host,
          PublicationResult& result)
      : m_sender(sender), m_host(host), m_result(result),
        m_limit(std::max<std::size_t>(sender.options().batch_size, 1)) {}

  void add(Owner owner, std::string_view key, std::string_view value) {
    if (!m_request) {
      m_request.emplace(m_host);
      m_owner = owner;
    }
    m_request->add(key, value);
    if (m_request->size() >= m_limit) {
      flush();
    }
  }

  void flush() {
    if (!m_request) {
      return;
    }
    const ServerAnswer answer = m_sender.send(*m_request);
    const std::uint64_t values = m_request->size();
    m_request.reset();
    m_result.sent += values;
    if (answer.counts) {
      // A reply that claims more failures than the request had values
      // cannot be right; count no more than were sent.
      const std::uint64_t refused = std::min(answer.counts->failed, values);
      m_result.refused += refused;
      if (m_owner == Owner::host) {
        m_result.refused_of_host += refused;
      }
    }
  }

private:
  const ZabbixSender& m_sender;
  std::string_view m_host;
  PublicationResult& m_result;
  std::size_t m_limit;
  std::optional<Request> m_request;
  Owner m_owner = Owner::host;
};

} // namespace

PublicationResult publish_to_zabbix(const ZabbixSender& sender,
                                    std::string_view host,
                                    const billing::Collection& collection) {
  PublicationResult result;
  Batches batches(sender, host, result);
  const auto& t = collection.totals;
  batches.add(Owner::host,
              "titulos_totais_em_atraso",
              console::text_form(t.titulos_totais_em_atraso));
  batches.add(Owner::host,
              "valor_total_divida",
              console::text_form(t.valor_total_divida));
  batches.add(Owner::host,
              "titulos_totais_em_aberto",
              console::text_form(t.titulos_totais_em_aberto));
  batches.add(Owner::host,
              "valor_total_em_aberto",
              console::text_form(t.valor_total_em_aberto));
  batches.flush();

  {
    // Built one form at a time: the run never holds every form at once.
    DiscoveryDocument document;
    for (const auto& client : collection.clients) {
      document.add(discovery_form(client));
    }
    batches.add(Owner::host, "discovery_clientes", document.finish());
    batches.flush();
  }

  std::string key;
  for (const auto& client : collection.clients) {
    const std::string id = console::text_form(client.id);
    key = "valor_divida[" + id + "]";
    batches.add(Owner::clients, key, console::text_form(client.valor_divida));
    key = "titulos_em_atraso[" + id + "]";
    batches.add(
        Owner::clients, key, console::text_form(client.titulos_em_atraso));
  }
  batches.flush();
  return result;
}

std::optional<std::string> refusal_warning(const PublicationResult& result,
                                           std::string_view host) {
  if (result.refused == 0) {
    return std::nullopt;
  }
  std::string line = "Aviso: o servidor Zabbix recusou "
                     + std::to_string(result.refused) + " de "
                     + std::to_string(result.sent) + " valores do host \""
                     + std::string(host) + "\"";
  if (result.refused_of_host != 0) {
    line += ", entre eles os totais ou a descoberta: confira se existe um "
            "host com esse nome exato, se o template está vinculado a ele, "
            "se os hosts permitidos dos itens incluem este coletor e se o "
            "host exige criptografia.\n";
  } else {
    line += ", todos de clientes: é o esperado para os clientes descobertos "
            "nesta execução, cujos itens só passam a existir a partir da "
            "próxima.\n";
  }
  return line;
}

} // namespace monitoring
