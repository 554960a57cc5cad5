#pragma once

#include "billing/records.h"
#include "console/run_settings.h"

namespace billing {

/// Reads the billing database (connection closed before anything is built)
/// and turns its rows into the run's clients and totals. Throws DbError,
/// RecordError or console::TimeoutException.
Collection collect_clients(const console::RunSettings& settings);

} // namespace billing
