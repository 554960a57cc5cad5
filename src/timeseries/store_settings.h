#pragma once

#include "console/environment.h"
#include "timeseries/store_access.h"

#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

namespace timeseries {

/// The store's settings as environment variables give them: each variable
/// that is set, by name.
using StoreEnvironment = console::Environment;

/// A store setting that cannot be used; what() names the variable and the
/// reason and never quotes a password or token.
class StoreSettingsError : public std::runtime_error {
public:
  StoreSettingsError(std::string variable, const std::string& message)
      : std::runtime_error(message), m_variable(std::move(variable)) {}
  /// The variable at fault.
  const std::string& variable() const { return m_variable; }

private:
  std::string m_variable;
};

/// The store's variables: QUESTDB_USER, QUESTDB_PASSWORD_FILE,
/// QUESTDB_TOKEN_FILE, QUESTDB_TLS_CONNECT, QUESTDB_TLS_CA_FILE.
std::span<const std::string_view> store_variables();

/// Those of the store's variables that the process's environment sets.
StoreEnvironment store_environment();

/// The access the variables ask for; the fixed pair over plain HTTP when
/// none is set. Reads the password or token file (its first line, as
/// settings::Reader::secret_line reads it) and checks that the CA file can
/// be read. Throws StoreSettingsError for an empty variable, a missing
/// partner variable, a token together with a user or password, a file that
/// cannot be read or whose first line is empty, an unknown TLS mode and a
/// CA file without https.
StoreAccess store_access(const StoreEnvironment& environment);

} // namespace timeseries
