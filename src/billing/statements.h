#pragma once

#include <string>
#include <string_view>

namespace billing {

/// The overdue-clients statement: one row of thirteen columns per client with
/// overdue titles, over the whole database.
extern const std::string_view OVERDUE_CLIENTS_SQL;

/// The open-titles statement with its LIKE pattern as parameter $1.
std::string open_titles_sql();

/// The pattern bound as $1: "%" + pop_id + "%", so "%" and "_" inside pop_id
/// stay wildcards.
std::string open_titles_pattern(std::string_view pop_id);

} // namespace billing
