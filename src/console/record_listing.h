#pragma once

#include "console/value.h"

#include <ostream>
#include <span>
#include <stdexcept>
#include <string>

namespace console {

/// A record that the listing cannot show (one without entries).
class ListingError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

/// The block of one record: each entry as its key padded to the record's
/// widest key, one blank and its value padded to the record's widest value
/// (widths in code points), then one empty line. A null value has no padded
/// form: its line is the padded key alone, while it counts four toward the
/// value width. Throws ListingError for a record without entries.
std::string record_block(const Record& record);

/// Writes the block of every record in order; a record without entries stops
/// the listing with ListingError after the blocks before it are written.
void print_dict_list(std::ostream& out, std::span<const Record> dict_list);

} // namespace console
