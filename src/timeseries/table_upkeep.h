#pragma once

#include "timeseries/store_access.h"

#include <array>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <string_view>

namespace timeseries {

/// The statement that creates tarvoClientes, byte for byte as the store is sent
/// it.
extern const std::string_view k_create_table;

/// The fifteen statements that add each column, in the order they are sent.
extern const std::array<std::string_view, 15> k_add_columns;

/// What the upkeep does once the column listing has answered.
enum class UpkeepAction {
  create_table, ///< send the creation statement
  add_columns,  ///< print the notice, send the fifteen ALTER TABLE statements
  nothing,      ///< the table has its columns
};

/// The upkeep's decision on the listing's reply as run_query returns it (no
/// value after a request failure): create_table without a reply or without a
/// member "dataset" that can be counted (array or object), add_columns when it
/// counts fewer than 15 elements, nothing otherwise. Never throws.
UpkeepAction upkeep_action(const std::optional<nlohmann::json>& listing);

/// Makes sure the store's table tarvoClientes exists with its columns: lists
/// them; with fewer than 15 prints the yellow table-update notice to out and
/// sends all fifteen ALTER TABLE statements; when anything of that fails,
/// sends the creation statement instead. Request failures are reported on out
/// by run_query. Every request goes as `access` says. Throws only when the
/// creation statement's reply is not JSON (ReplyError) or the run's time
/// bound passes.
void upkeep_table(std::string_view quest_db_ip,
                  std::ostream& out,
                  const StoreAccess& access = {});

} // namespace timeseries
