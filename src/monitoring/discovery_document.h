#pragma once

#include "console/value.h"

#include <span>
#include <string>
#include <string_view>

namespace monitoring {

/// The low-level discovery document {"data": [...]} of the given forms, in
/// list order, members in entry order: one line, ", " and ": " separators,
/// pure ASCII (every character outside U+0020..U+007E escaped). Never throws
/// except std::bad_alloc.
std::string discovery_document(std::span<const console::Record> discovery);

/// Appends utf8 to out as a quoted JSON string with the same escaping as the
/// discovery document; invalid UTF-8 bytes become \ufffd each.
void append_json_string(std::string& out, std::string_view utf8);

} // namespace monitoring
