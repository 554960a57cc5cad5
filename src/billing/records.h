#pragma once

#include "console/value.h"

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace billing {

/// A row that cannot become a client record (too few columns, a count that
/// is not a number, a date the local time functions cannot represent).
class RecordError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

/// One overdue client, as the billing database gives it: each publication
/// builds its own form from these fields on demand, so a run keeps one
/// compact structure per client, whatever the number of clients.
struct Client {
  console::Value id;           ///< integer, or null for titles without client
  console::Value razao_social; ///< text or null
  console::Value cpf_cnpj;     ///< text or null
  console::Value valor_divida; ///< float, or the integer 0 for a null amount
  console::Value titulos_em_atraso;   ///< integer
  console::Value contato;             ///< text or null
  console::Value primeiro_vencimento; ///< local DateTime or null
  console::Value dias_atraso;         ///< integer, as read
  std::string cidade;
  std::string pop;
  std::string bairro;
  console::Value data_cadastro;       ///< local DateTime or null
  console::Value data_criacao_titulo; ///< local DateTime or null
};

/// The run's four totals.
struct Totals {
  console::Value titulos_totais_em_atraso = std::int64_t{0};
  console::Value valor_total_divida =
      std::int64_t{0}; ///< integer 0 until an amount is added
  console::Value titulos_totais_em_aberto = std::int64_t{0};
  console::Value
      valor_total_em_aberto; ///< float, or null when no title matched
};

/// The clients in row order and the totals: everything the pass publishes.
struct Collection {
  std::vector<Client> clients;
  Totals totals;
};

/// Number of columns of one overdue-clients row.
inline constexpr std::size_t k_overdue_columns = 13;

/// Adds one overdue-clients row (13 values by position) as a client and to
/// the overdue totals. Throws RecordError.
void add_overdue_row(Collection& collection,
                     std::span<const console::Value> row);

/// Takes the open-titles row (count, amount) into the totals. Throws
/// RecordError.
void set_open_titles(Collection& collection,
                     std::span<const console::Value> row);

/// A place name: the default for null or empty text, else the text without
/// any of ( ) [ ] ' - . (so "-" becomes the empty text).
std::string place_name(const console::Value& value, std::string_view fallback);

/// A date or date-time read as local time (the TZ rules decide daylight
/// saving) and turned back into local whole seconds; null stays null. A
/// local time in a daylight-saving gap comes back shifted. Throws RecordError.
console::Value local_date_time(const console::Value& value);

} // namespace billing
