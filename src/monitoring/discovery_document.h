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

/// Appends one form as a JSON object, members in entry order, written as in
/// the document. With k_discovery_open, ", " between objects and
/// k_discovery_close, a caller builds the document one form at a time.
void append_discovery_object(std::string& out, const console::Record& form);

/// The text before the first form and after the last one.
inline constexpr std::string_view k_discovery_open = "{\"data\": [";
inline constexpr std::string_view k_discovery_close = "]}";

/// Appends utf8 to out as a quoted JSON string with the same escaping as the
/// discovery document; invalid UTF-8 bytes become \ufffd each.
void append_json_string(std::string& out, std::string_view utf8);

} // namespace monitoring
