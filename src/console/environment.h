#pragma once

#include <map>
#include <span>
#include <string>
#include <string_view>

namespace console {

/// Settings as environment variables give them: each variable that is set,
/// by name. A map rather than getenv() calls so that tests pass their own.
using Environment = std::map<std::string, std::string, std::less<>>;

/// Those of `names` that the process's environment sets, empty ones
/// included (what an empty value means is the reader's to say).
Environment environment_of(std::span<const std::string_view> names);

} // namespace console
