#include "monitoring/debug_report.h"

#include "console/colours.h"
#include "console/record_listing.h"
#include "console/text_form.h"
#include "console/version.h"
#include "monitoring/discovery_document.h"

#include <stdexcept>
#include <string>

namespace monitoring {
namespace {

constexpr std::string_view k_clients_banner =
    "...============================================= Clientes "
    "==============================================...\n";
constexpr std::string_view k_general_banner =
    "...======================================== Informações Gerais "
    "==========================================...\n";

void append_total(std::string& out,
                  std::string_view label,
                  const console::Value& value) {
  out += label;
  out.push_back(' ');
  console::append_text_form(out, value);
  out.push_back('\n');
}

} // namespace

void print_debug_report(std::ostream& out,
                        const billing::Collection& collection) {
  std::string head = "Modo debug ativado.\n";
  head += console::GREEN;
  head += "\nVersão do script: ";
  head += console::VERSION;
  head += console::CYAN;
  head += " \n\n";
  head += console::CYAN;
  head += k_clients_banner;
  head += console::RESET;
  head += "\n";
  out << head;

  // One block at a time: the report never holds every block in memory.
  for (const auto& client : collection.clients) {
    out << console::record_block(discovery_form(client));
  }

  std::string tail(console::CYAN);
  tail += k_general_banner;
  tail += console::RESET;
  tail += "\n";
  const auto& t = collection.totals;
  append_total(tail,
               "Títulos totais em atraso:                      ",
               t.titulos_totais_em_atraso);
  append_total(tail,
               "Valor total em dívida:                         ",
               t.valor_total_divida);
  append_total(tail,
               "Títulos dentro do prazo de vencimento:         ",
               t.titulos_totais_em_aberto);
  append_total(tail,
               "Valor em aberto dentro do prazo de vencimento: ",
               t.valor_total_em_aberto);
  out << tail;
  if (!out) {
    throw std::runtime_error(
        "escrever relatório de depuração: falha na saída padrão");
  }
}

} // namespace monitoring
