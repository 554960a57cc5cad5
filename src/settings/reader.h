#pragma once

#include "console/environment.h"
#include "transport/secret.h"

#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

// The one reader of the environment variables that set both hops up: one
// rule for an empty variable, one for a variable another mode would use, one
// for a secret file, in one wording. Each hop keeps its own names, its own
// checks and its own error type.
namespace settings {

/// How a hop refuses a setting: throws the hop's own error with the variable
/// at fault and the whole message. Must not return.
using Refusal =
    std::function<void(const std::string& variable, const std::string& message)>;

/// Most bytes a secret file may hold: its line and whatever notes an
/// operator keeps after it.
inline constexpr std::size_t k_max_secret_file = 64 * 1024;

/// Reads settings out of one environment; every refusal goes through
/// `refuse` and names the variable, never a secret's contents.
class Reader {
public:
  Reader(const console::Environment& environment, Refusal refuse)
      : m_environment(environment), m_refuse(std::move(refuse)) {}

  /// The variable's value, or none when it is not set. An empty value is
  /// refused ("NAME=\"\": vazia"): a variable set to nothing is a mistake,
  /// not a default.
  std::optional<std::string> find(std::string_view name) const;

  /// The variable that `needed_by` ("ZABBIX_TLS_CONNECT=psk") needs; refuses
  /// its absence ("NAME é obrigatória com …").
  std::string require(std::string_view name, std::string_view needed_by) const;

  /// Refuses any of `names` that is set ("NAME não se aplica a …", then
  /// `why` when given): a setting that would silently do nothing is a
  /// mistake the operator wants to hear about.
  void refuse_set(std::span<const std::string_view> names,
                  std::string_view mode,
                  std::string_view why = {}) const;

  /// Refuses `value` of `name` for `reason` ("NAME=\"value\": reason").
  [[noreturn]] void reject(std::string_view name,
                           std::string_view value,
                           const std::string& reason) const;

  /// The secret in the file at `path` (named by `name`): its first line,
  /// without the line break (LF or CRLF); what follows the first line is
  /// the operator's notes and is wiped unread. Up to k_max_secret_file
  /// bytes, in one buffer that is wiped when released. Refuses a file that
  /// cannot be read, is larger, or whose first line is empty or holds a
  /// control character.
  transport::SecretBytes secret_line(std::string_view name,
                                     const std::string& path) const;

  /// Refuses a file (named by `name`) that cannot be opened for reading.
  void require_readable(std::string_view name, const std::string& path) const;

private:
  const console::Environment& m_environment;
  Refusal m_refuse;
};

} // namespace settings
