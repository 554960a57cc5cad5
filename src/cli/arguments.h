#pragma once

#include "console/run_settings.h"

#include <optional>
#include <span>
#include <string>

namespace cli {

/// The settings taken from the arguments after the program's name.
struct Invocation {
  console::RunSettings settings;
  bool short_form = false; ///< one argument: only the mode is set
};

/// The short form (one argument) or the full form (eleven); nullopt for any
/// other count. Every setting is its argument's text, unchanged.
std::optional<Invocation> read_arguments(std::span<const std::string> args);

/// Overwrites the password argument of the full form (argv[7], DB_PASSWORD)
/// in place with as many 'x', so that ps and /proc/<pid>/cmdline no longer
/// show it; the count and the other arguments stay. Call it once the
/// arguments are copied; any other count is left alone.
void hide_password_argument(int argc, char** argv);

/// The count error's line, with its line feed.
std::string count_error_line(std::size_t count);

/// The usage text written for the short form with a mode other than version.
std::string usage_text(const std::string& program);

} // namespace cli
