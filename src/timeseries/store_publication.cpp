#include "timeseries/store_publication.h"

#include "console/calendar.h"
#include "console/text_form.h"
#include "timeseries/ingress.h"
#include "timeseries/table_upkeep.h"

#include <cmath>
#include <ctime>
#include <stdexcept>
#include <string_view>
#include <vector>

namespace timeseries {
namespace {

constexpr std::string_view k_table = "tarvoClientes";

// Each kind becomes its own field; nothing is converted but the date-time,
// which is carried as the instant it denotes.
FieldValue field_value(const console::Value& value, std::string_view column) {
  struct Visitor {
    std::string_view column;
    FieldValue operator()(const console::Null&) const {
      return std::monostate{};
    }
    FieldValue operator()(std::int64_t v) const { return v; }
    FieldValue operator()(double v) const { return v; }
    FieldValue operator()(const std::string& v) const { return v; }
    FieldValue operator()(const console::Date&) const {
      throw std::invalid_argument("column " + std::string(column)
                                  + ": a date has no field kind");
    }
    FieldValue operator()(const console::DateTime& v) const {
      return TimestampMicros{local_micros(v)};
    }
  };
  return std::visit(Visitor{column}, value);
}

// The ingestion client's configuration for the access: the text every run
// sent before the operator could choose, when nothing is chosen.
std::string ingestion_conf(const console::RunSettings& settings,
                           const StoreAccess& access) {
  std::string conf = std::string(access.https ? "https" : "http")
                     + "::addr=" + settings.quest_db_ip + ":"
                     + settings.quest_db_port + ";";
  if (access.auth == StoreAuth::fixed_pair) {
    conf += "username=korviadmin;password=sentinelKQ;";
  }
  if (access.https && !access.ca_file.empty()) {
    conf += "tls_roots=";
    for (const char c : access.ca_file) {
      conf += c == ';' ? std::string(";;") : std::string(1, c);
    }
    conf += ';';
  }
  return conf;
}

} // namespace

std::int64_t get_timestamp(const WallClock& clock) {
  using namespace std::chrono;
  const auto micros = floor<microseconds>(clock().time_since_epoch()).count();
  const auto whole_seconds =
      micros >= 0 ? micros / 1'000'000 : -((-micros + 999'999) / 1'000'000);
  const auto fraction = micros - whole_seconds * 1'000'000;
  // Kept in double precision on purpose: the stored values have always been
  // formed this way, 256 ns apart at present-day instants.
  const double seconds =
      static_cast<double>(whole_seconds) + static_cast<double>(fraction) / 1e6;
  return static_cast<std::int64_t>(seconds * 1e9);
}

std::int64_t local_micros(const console::DateTime& local) {
  const std::time_t seconds = console::local_seconds(local).value_or(-1);
  return static_cast<std::int64_t>(seconds) * 1'000'000 + local.microsecond;
}

console::Record store_row(const billing::Client& client,
                          std::string_view tarvo_identification) {
  return {
      {"idCliente", client.id},
      {"razaoSocial", client.razao_social},
      {"cpfCnpj", client.cpf_cnpj},
      {"valorDivida", client.valor_divida},
      {"titulosDivida", client.titulos_em_atraso},
      {"contatoCliente", client.contato},
      {"primeiroVencimento", client.primeiro_vencimento},
      {"diasAtraso", client.dias_atraso},
      {"cidade", client.cidade},
      {"pop", client.pop},
      {"bairro", client.bairro},
      {"dataCadastro", client.data_cadastro},
      {"dataCriacaoTitulo", client.data_criacao_titulo},
      {"tarvoIdentification", std::string(tarvo_identification)},
  };
}

void publish_to_store(const console::RunSettings& settings,
                      std::span<const billing::Client> clients,
                      std::ostream& out,
                      std::ostream& err,
                      const StoreAccess& access) {
  upkeep_table(settings.quest_db_ip, out, access);
  // QuestDB reads a timestamp field in microseconds, so the run's value goes
  // as one, truncated from the nanoseconds get_timestamp forms.
  const TimestampMicros run_timestamp{get_timestamp() / 1000};
  try {
    Sender sender = Sender::from_conf(ingestion_conf(settings, access), access);
    std::vector<Column> columns;
    for (const billing::Client& client : clients) {
      // One client's row at a time, so a large run never holds them all.
      const console::Record row = store_row(client, settings.zabbix_host);
      columns.resize(row.size() + 1);
      for (std::size_t i = 0; i < row.size(); ++i) {
        columns[i].name = row[i].key;
        columns[i].value = field_value(row[i].value, row[i].key);
      }
      columns.back().name = "timestamp";
      columns.back().value = run_timestamp;
      sender.row(k_table, columns, TimestampNanos::now());
    }
    sender.flush();
    sender.close();
  } catch (const IngressError& e) {
    // The message may quote a setting byte for byte; the line stays UTF-8.
    err << ("Erro: " + console::well_formed_utf8(e.what()) + "\n");
  }
}

} // namespace timeseries
