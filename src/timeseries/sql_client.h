#pragma once

#include "timeseries/store_access.h"

#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

namespace timeseries {

/// Port of the store's SQL endpoint; the ingestion port plays no part here.
inline constexpr std::string_view k_sql_port = "9000";

/// Sends one SQL statement, character for character, as GET
/// http://<quest_db_ip>:9000/exec?query=...&fmt=json (https with
/// access.https) with access's credentials, and returns the reply body
/// parsed as JSON, whatever the HTTP status. A request failure writes
/// "Error: <libcurl's text, or the TLS failure in the operator's terms>\n" to
/// out and returns no value. A body that is not JSON (or a number beyond
/// double's range) throws ReplyError; the run's time bound throws
/// console::TimeoutException.
std::optional<nlohmann::json> run_query(std::string_view quest_db_ip,
                                        const std::string& sql_query,
                                        std::ostream& out,
                                        const StoreAccess& access = {});

} // namespace timeseries
