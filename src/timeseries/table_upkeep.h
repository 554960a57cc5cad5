#pragma once

#include <array>
#include <ostream>
#include <string_view>

namespace timeseries {

/// The statement that creates tarvoClientes, byte for byte as the store is sent
/// it.
extern const std::string_view k_create_table;

/// The fifteen statements that add each column, in the order they are sent.
extern const std::array<std::string_view, 15> k_add_columns;

/// Makes sure the store's table tarvoClientes exists with its columns: lists
/// them; with fewer than 15 prints the yellow table-update notice to out and
/// sends all fifteen ALTER TABLE statements; when anything of that fails,
/// sends the creation statement instead. Request failures are reported on out
/// by run_query. Throws only when the creation statement's reply is not JSON
/// (nlohmann::json::parse_error) or the run's time bound passes.
void upkeep_table(std::string_view quest_db_ip, std::ostream& out);

} // namespace timeseries
