#include "timeseries/store_settings.h"

#include "settings/reader.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace timeseries {
namespace {

// Basic authentication joins user and password with ':', and a header
// ends at a line break: neither may be in the user name.
bool is_control(char c) {
  return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
}

constexpr std::string_view k_user = "QUESTDB_USER";
constexpr std::string_view k_password_file = "QUESTDB_PASSWORD_FILE";
constexpr std::string_view k_token_file = "QUESTDB_TOKEN_FILE";
constexpr std::string_view k_connect = "QUESTDB_TLS_CONNECT";
constexpr std::string_view k_ca_file = "QUESTDB_TLS_CA_FILE";

constexpr std::array<std::string_view, 5> k_variables{
    k_user, k_password_file, k_token_file, k_connect, k_ca_file};

} // namespace

StoreEnvironment store_environment() {
  return console::environment_of(k_variables);
}

std::span<const std::string_view> store_variables() {
  return k_variables;
}

StoreAccess store_access(const StoreEnvironment& environment) {
  const settings::Reader reader(
      environment, [](const std::string& variable, const std::string& message) {
        throw StoreSettingsError(variable, message);
      });
  StoreAccess access;
  const auto connect = reader.find(k_connect);
  if (connect && *connect != "unencrypted" && *connect != "https") {
    reader.reject(k_connect, *connect, "esperado unencrypted ou https");
  }
  access.https = connect == "https";
  if (!access.https) {
    reader.refuse_set(std::array{k_ca_file},
                      std::string(k_connect) + "=unencrypted");
  }
  if (const auto ca_file = reader.find(k_ca_file)) {
    reader.require_readable(k_ca_file, *ca_file);
    access.ca_file = *ca_file;
  }

  const auto user = reader.find(k_user);
  const auto password_file = reader.find(k_password_file);
  if (const auto token_file = reader.find(k_token_file)) {
    reader.refuse_set(std::array{k_user, k_password_file},
                      k_token_file,
                      "o token substitui usuário e senha");
    access.auth = StoreAuth::bearer;
    access.secret = reader.secret_line(k_token_file, *token_file);
    return access;
  }
  if (password_file) {
    reader.require(k_user, k_password_file);
  }
  if (user) {
    if (user->find(':') != std::string::npos
        || std::any_of(user->begin(), user->end(), is_control)) {
      reader.reject(k_user,
                    *user,
                    "o usuário não pode conter ':' nem caracteres de controle");
    }
    access.auth = StoreAuth::basic;
    access.user = *user;
    access.secret =
        reader.secret_line(k_password_file, reader.require(k_password_file, k_user));
  }
  return access;
}

} // namespace timeseries
