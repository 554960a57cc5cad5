#pragma once

#include "billing/records.h"

#include <ostream>
#include <span>

namespace monitoring {

/// Writes the debug report: the banner lines, the discovery form of every
/// client as a record block, and the four labelled totals. Throws
/// console::ListingError, or std::runtime_error when the stream has failed.
void print_debug_report(std::ostream& out,
                        const billing::Collection& collection);

} // namespace monitoring
