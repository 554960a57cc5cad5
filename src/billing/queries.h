#pragma once

#include "billing/pg_handles.h"
#include "console/run_settings.h"

namespace billing {

/// What one run reads from the billing database, fetched whole. The results
/// stay valid after the connection is closed.
struct BillingRows {
  PgResult
      clientes_data; ///< one row of 13 columns per overdue client, server order
  PgResult titulos_valor_em_aberto; ///< one row: open titles count and amount
                                    ///< for the POP
};

/// Connects, runs the overdue-clients and the open-titles statements on one
/// connection, and closes it. Throws DbError or console::TimeoutException.
BillingRows fetch_billing_rows(const console::RunSettings& settings);

} // namespace billing
