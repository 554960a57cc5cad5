#pragma once

#include <string_view>

namespace cli {

/// Hands a mode holding "launch_" to the run-control launcher. The launcher
/// lives outside this program; here it takes the whole mode text and returns.
void launch(std::string_view mode);

} // namespace cli
