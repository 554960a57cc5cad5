#include "billing/records.h"

#include "console/calendar.h"

#include <ctime>

namespace billing {
namespace {

std::int64_t count_of(const console::Value& value, std::string_view what) {
  if (const auto* n = std::get_if<std::int64_t>(&value)) {
    return *n;
  }
  throw RecordError("montar registros: " + std::string(what)
                    + " não é um número inteiro");
}

double amount_of(const console::Value& value) {
  if (const auto* d = std::get_if<double>(&value)) {
    return *d;
  }
  if (const auto* n = std::get_if<std::int64_t>(&value)) {
    return static_cast<double>(*n);
  }
  throw RecordError("montar registros: valor em atraso não é um número");
}

} // namespace

std::string place_name(const console::Value& value, std::string_view fallback) {
  const auto* text = std::get_if<std::string>(&value);
  if (text == nullptr || text->empty()) {
    return std::string(fallback);
  }
  std::string out;
  out.reserve(text->size());
  for (const char c : *text) {
    switch (c) {
    case '(':
    case ')':
    case '[':
    case ']':
    case '\'':
    case '-':
    case '.':
      break;
    default:
      out.push_back(c);
    }
  }
  return out;
}

console::Value local_date_time(const console::Value& value) {
  console::DateTime in;
  if (const auto* d = std::get_if<console::Date>(&value)) {
    in.date = *d;
  } else if (const auto* t = std::get_if<console::DateTime>(&value)) {
    in = *t;
  } else if (std::holds_alternative<console::Null>(value)) {
    return console::Null{};
  } else {
    throw RecordError("montar registros: data inválida");
  }
  const auto seconds = console::local_seconds(in);
  const auto local =
      seconds ? console::local_tm(*seconds) : std::optional<std::tm>{};
  if (!local) {
    throw RecordError(
        "montar registros: data fora do alcance do fuso horário local: "
        + std::to_string(in.date.year) + "-" + std::to_string(in.date.month)
        + "-" + std::to_string(in.date.day));
  }
  return console::date_time_of(*local);
}

void add_overdue_row(Collection& collection,
                     std::span<const console::Value> row) {
  if (row.size() < k_overdue_columns) {
    throw RecordError("montar registros: linha com "
                      + std::to_string(row.size()) + " colunas, esperadas 13");
  }
  Client c;
  c.id = row[0];
  c.razao_social = row[1];
  c.cpf_cnpj = row[2];
  c.titulos_em_atraso = row[3];
  auto& totals = collection.totals;
  totals.titulos_totais_em_atraso =
      count_of(totals.titulos_totais_em_atraso, "total de títulos")
      + count_of(row[3], "quantidade de títulos em atraso");
  if (std::holds_alternative<console::Null>(row[4])) {
    c.valor_divida = std::int64_t{0};
  } else {
    c.valor_divida = row[4];
    const double amount = amount_of(row[4]);
    if (const auto* sum = std::get_if<double>(&totals.valor_total_divida)) {
      totals.valor_total_divida = *sum + amount;
    } else {
      totals.valor_total_divida = amount;
    }
  }
  c.contato = row[5];
  c.primeiro_vencimento = local_date_time(row[6]);
  c.dias_atraso = row[7];
  c.cidade = place_name(row[8], "Sem cidade");
  c.pop = place_name(row[9], "Sem pop");
  c.bairro = place_name(row[10], "Sem bairro");
  c.data_cadastro = local_date_time(row[11]);
  c.data_criacao_titulo = local_date_time(row[12]);
  collection.clients.push_back(std::move(c));
}

void set_open_titles(Collection& collection,
                     std::span<const console::Value> row) {
  if (row.size() < 2) {
    throw RecordError(
        "montar registros: resultado de títulos em aberto sem as duas colunas");
  }
  collection.totals.titulos_totais_em_aberto = row[0];
  collection.totals.valor_total_em_aberto = row[1];
}

} // namespace billing
