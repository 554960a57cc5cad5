#pragma once

#include "console/value.h"

#include <libpq-fe.h>

namespace billing {

/// The value at (row, column) of a text-format result, typed by the column's
/// type: integer types to integer, float4/float8/numeric to float, date to
/// Date, timestamp to DateTime (fraction kept), timestamptz to the local
/// DateTime of its instant, SQL NULL to null, anything else to text.
/// Throws DbError for a value that does not read as its type.
console::Value cell_value(const PGresult* result, int row, int column);

} // namespace billing
