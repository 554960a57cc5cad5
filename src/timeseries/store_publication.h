#pragma once

#include "billing/records.h"
#include "console/run_settings.h"
#include "timeseries/store_access.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <ostream>
#include <span>
#include <string_view>

namespace timeseries {

/// The clock get_timestamp reads; tests put a fixed instant in.
using WallClock = std::function<std::chrono::system_clock::time_point()>;

/// The run's value for the column `timestamp`: nanoseconds since the Unix
/// epoch, formed in double precision from the clock read to the microsecond
/// (seconds with the microseconds as fraction, times 1e9, truncated), so it is
/// not a multiple of 1000: 2024-01-01 00:00:00.000001 UTC gives
/// 1704067200000001024.
std::int64_t
get_timestamp(const WallClock& clock = &std::chrono::system_clock::now);

/// Microseconds since the Unix epoch of the instant a local date-time denotes
/// in the process's time zone (daylight saving decided by the zone rules).
std::int64_t local_micros(const console::DateTime& local);

/// A client's row of tarvoClientes, keyed by column, in the table's order:
/// the fourteen columns the client gives, the last one
/// tarvoIdentification; `timestamp`, the fifteenth, is the run's own.
console::Record store_row(const billing::Client& client,
                          std::string_view tarvo_identification);

/// The time-series publication of one run: table upkeep on
/// quest_db_ip:9000 ("Error: " lines on out), then one row per client into
/// tarvoClientes at quest_db_ip:quest_db_port, tagged with zabbix_host, and
/// one flush; both endpoints reached as `access` says. An ingestion failure
/// writes "Erro: <message>\n" to err and returns normally. Throws ReplyError
/// when the creation statement's reply is not JSON, std::invalid_argument
/// when a record holds a value no column can carry, and
/// console::TimeoutException.
void publish_to_store(const console::RunSettings& settings,
                      std::span<const billing::Client> clients,
                      std::ostream& out,
                      std::ostream& err,
                      const StoreAccess& access = {});

} // namespace timeseries
