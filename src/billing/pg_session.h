#pragma once

#include "billing/pg_handles.h"
#include "console/run_settings.h"

#include <string>
#include <string_view>
#include <vector>

namespace billing {

/// Opens the billing connection with host, port, database, user and password
/// from the settings. Every wait is bounded by the run's deadline. Throws
/// DbError (never showing the password) or console::TimeoutException.
PgConn open_billing_connection(const console::RunSettings& settings);

/// Runs one statement and waits for its whole result within the run's
/// deadline. Without params the text goes as a plain statement; with them,
/// as $1.. parameters. Throws DbError when the server reports an error.
PgResult run_statement(PGconn* conn,
                       std::string_view step,
                       const std::string& sql,
                       const std::vector<std::string>& params = {});

} // namespace billing
