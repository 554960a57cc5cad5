#include "billing/collect.h"

#include "billing/cell_value.h"
#include "billing/queries.h"
#include "console/deadline.h"

#include <array>

namespace billing {

Collection collect_clients(const console::RunSettings& settings) {
  BillingRows rows = fetch_billing_rows(settings);
  Collection collection;
  const PGresult* overdue = rows.clientes_data.get();
  const int n_rows = PQntuples(overdue);
  const int n_columns = PQnfields(overdue);
  collection.clients.reserve(static_cast<std::size_t>(n_rows));
  std::vector<console::Value> row(static_cast<std::size_t>(n_columns));
  for (int r = 0; r < n_rows; ++r) {
    for (int c = 0; c < n_columns; ++c) {
      row[static_cast<std::size_t>(c)] = cell_value(overdue, r, c);
    }
    add_overdue_row(collection, row);
    if (r % 4096 == 0) {
      console::deadline::check();
    }
  }
  rows.clientes_data.reset();

  const PGresult* open = rows.titulos_valor_em_aberto.get();
  if (PQntuples(open) < 1 || PQnfields(open) < 2) {
    throw RecordError(
        "montar registros: consulta de títulos em aberto sem resultado");
  }
  const std::array<console::Value, 2> open_row{cell_value(open, 0, 0),
                                               cell_value(open, 0, 1)};
  set_open_titles(collection, open_row);
  return collection;
}

} // namespace billing
