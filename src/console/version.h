#pragma once

#include <string>
#include <string_view>

namespace console {

/// The program version, shown by the banner and by the debug report.
inline constexpr std::string_view VERSION = "1.9.0";

/// The two lines of the version banner for a program started as program_path:
/// the rights notice, then the path with every "./" made one blank, two
/// blanks and VERSION.
std::string version_banner(std::string_view program_path);

} // namespace console
