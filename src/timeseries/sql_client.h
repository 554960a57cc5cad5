#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

namespace timeseries {

/// Port of the store's SQL endpoint; the ingestion port plays no part here.
inline constexpr std::string_view k_sql_port = "9000";

/// Sends one SQL statement, character for character, as GET
/// http://<quest_db_ip>:9000/exec?query=...&fmt=json with the store's basic
/// authentication, and returns the reply body parsed as JSON, whatever the
/// HTTP status. A request failure writes "Error: <libcurl's text>\n" to out
/// and returns no value. A body that is not JSON throws
/// nlohmann::json::exception (parse_error, or out_of_range for a number
/// beyond double's range); the run's time bound throws
/// console::TimeoutException.
std::optional<nlohmann::json> run_query(std::string_view quest_db_ip,
                                        const std::string& sql_query,
                                        std::ostream& out);

} // namespace timeseries
