#include "timeseries/store_settings.h"

#include "transport/fd.h"
#include "transport/secret.h"
#include "transport/transport_error.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <fcntl.h>
#include <string_view>
#include <system_error>

namespace timeseries {
namespace {

constexpr std::string_view k_user = "QUESTDB_USER";
constexpr std::string_view k_password_file = "QUESTDB_PASSWORD_FILE";
constexpr std::string_view k_token_file = "QUESTDB_TOKEN_FILE";
constexpr std::string_view k_connect = "QUESTDB_TLS_CONNECT";
constexpr std::string_view k_ca_file = "QUESTDB_TLS_CA_FILE";

constexpr std::array<std::string_view, 5> k_variables{
    k_user, k_password_file, k_token_file, k_connect, k_ca_file};

// A token of QuestDB Enterprise is a few hundred bytes; a file far larger is
// not one.
constexpr std::size_t k_max_secret_file = 8192;

[[noreturn]] void reject(std::string_view variable,
                         std::string_view value,
                         const std::string& reason) {
  throw StoreSettingsError(std::string(variable),
                           std::string(variable) + "=\"" + std::string(value)
                               + "\": " + reason);
}

const std::string* find(const StoreEnvironment& environment,
                        std::string_view name) {
  const auto it = environment.find(name);
  if (it == environment.end()) {
    return nullptr;
  }
  if (it->second.empty()) {
    reject(name, it->second, "vazia");
  }
  return &it->second;
}

bool is_control(char c) {
  return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
}

// One line of text: a line break or NUL inside would end the header early or
// start another one.
transport::SecretBytes read_secret_line(std::string_view variable,
                                        const std::string& path) {
  transport::SecretBytes bytes;
  try {
    bytes = transport::read_secret_file(path, k_max_secret_file);
  } catch (const transport::TransportError& e) {
    reject(variable, path, e.what());
  }
  std::string_view text = bytes.view();
  if (text.ends_with('\n')) {
    text.remove_suffix(text.ends_with("\r\n") ? 2 : 1);
  }
  if (text.empty()) {
    reject(variable, path, "arquivo vazio");
  }
  if (std::any_of(text.begin(), text.end(), is_control)) {
    reject(variable,
           path,
           "o arquivo deve conter uma só linha, sem caracteres de controle");
  }
  // Kept in the file's own buffer: the line break goes, nothing is copied.
  bytes.truncate(text.size());
  return bytes;
}

void check_readable(std::string_view variable, const std::string& path) {
  const transport::Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (!fd) {
    const int error = errno;
    reject(variable,
           path,
           "não foi possível ler: " + std::system_category().message(error));
  }
}

[[noreturn]] void needs(std::string_view missing, std::string_view present) {
  throw StoreSettingsError(std::string(missing),
                           std::string(missing) + " é obrigatória com "
                               + std::string(present));
}

[[noreturn]] void excludes(std::string_view extra, std::string_view present) {
  throw StoreSettingsError(std::string(extra),
                           std::string(extra) + " não se aplica com "
                               + std::string(present)
                               + ": o token substitui usuário e senha");
}

} // namespace

StoreEnvironment store_environment() {
  return console::environment_of(k_variables);
}

StoreAccess store_access(const StoreEnvironment& environment) {
  StoreAccess access;
  const std::string* connect = find(environment, k_connect);
  const std::string* ca_file = find(environment, k_ca_file);
  if (connect != nullptr && *connect != "unencrypted" && *connect != "https") {
    reject(k_connect, *connect, "esperado unencrypted ou https");
  }
  access.https = connect != nullptr && *connect == "https";
  if (ca_file != nullptr) {
    if (!access.https) {
      throw StoreSettingsError(std::string(k_ca_file),
                               std::string(k_ca_file) + " não se aplica a "
                                   + std::string(k_connect) + "=unencrypted");
    }
    check_readable(k_ca_file, *ca_file);
    access.ca_file = *ca_file;
  }

  const std::string* user = find(environment, k_user);
  const std::string* password_file = find(environment, k_password_file);
  const std::string* token_file = find(environment, k_token_file);
  if (token_file != nullptr) {
    if (user != nullptr) {
      excludes(k_user, k_token_file);
    }
    if (password_file != nullptr) {
      excludes(k_password_file, k_token_file);
    }
    access.auth = StoreAuth::bearer;
    access.secret = read_secret_line(k_token_file, *token_file);
    return access;
  }
  if (user == nullptr && password_file != nullptr) {
    needs(k_user, k_password_file);
  }
  if (user != nullptr && password_file == nullptr) {
    needs(k_password_file, k_user);
  }
  if (user != nullptr) {
    // Basic authentication joins user and password with ':'.
    if (user->find(':') != std::string::npos
        || std::any_of(user->begin(), user->end(), is_control)) {
      reject(k_user,
             *user,
             "o usuário não pode conter ':' nem caracteres de controle");
    }
    access.auth = StoreAuth::basic;
    access.user = *user;
    access.secret = read_secret_line(k_password_file, *password_file);
  }
  return access;
}

} // namespace timeseries
