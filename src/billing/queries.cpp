#include "billing/queries.h"

#include "billing/pg_session.h"
#include "billing/statements.h"

namespace billing {

BillingRows fetch_billing_rows(const console::RunSettings& settings) {
  const PgConn conn = open_billing_connection(settings);
  BillingRows rows;
  rows.clientes_data = run_statement(conn.get(),
                                     "consultar clientes em atraso",
                                     std::string(OVERDUE_CLIENTS_SQL));
  rows.titulos_valor_em_aberto =
      run_statement(conn.get(),
                    "consultar títulos em aberto",
                    open_titles_sql(),
                    {open_titles_pattern(settings.pop_id)});
  return rows;
}

} // namespace billing
