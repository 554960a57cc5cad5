#include "monitoring/sender_settings.h"

#include "console/text_form.h"
#include "transport/transport_error.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <string_view>
#include <system_error>

namespace monitoring {
namespace {

constexpr std::string_view k_batch_size = "ZABBIX_BATCH_SIZE";
constexpr std::string_view k_connect = "ZABBIX_TLS_CONNECT";
constexpr std::string_view k_psk_identity = "ZABBIX_TLS_PSK_IDENTITY";
constexpr std::string_view k_psk_file = "ZABBIX_TLS_PSK_FILE";
constexpr std::string_view k_ca_file = "ZABBIX_TLS_CA_FILE";
constexpr std::string_view k_crl_file = "ZABBIX_TLS_CRL_FILE";
constexpr std::string_view k_cert_file = "ZABBIX_TLS_CERT_FILE";
constexpr std::string_view k_key_file = "ZABBIX_TLS_KEY_FILE";
constexpr std::string_view k_server_issuer = "ZABBIX_TLS_SERVER_CERT_ISSUER";
constexpr std::string_view k_server_subject = "ZABBIX_TLS_SERVER_CERT_SUBJECT";

constexpr std::array<std::string_view, 2> k_psk_variables{k_psk_identity,
                                                          k_psk_file};
constexpr std::array<std::string_view, 6> k_cert_variables{k_ca_file,
                                                           k_crl_file,
                                                           k_cert_file,
                                                           k_key_file,
                                                           k_server_issuer,
                                                           k_server_subject};

constexpr std::array<std::string_view, 10> k_variables{k_batch_size,
                                                       k_connect,
                                                       k_psk_identity,
                                                       k_psk_file,
                                                       k_ca_file,
                                                       k_crl_file,
                                                       k_cert_file,
                                                       k_key_file,
                                                       k_server_issuer,
                                                       k_server_subject};

// Zabbix's limits for a pre-shared key and its identity.
constexpr std::size_t k_min_psk_digits = 32;
constexpr std::size_t k_max_psk_digits = 512;
constexpr std::size_t k_max_identity = 128;

[[noreturn]] void reject(std::string_view variable,
                         std::string_view value,
                         const std::string& reason) {
  throw ZabbixError(std::string(variable) + "=\"" + std::string(value)
                    + "\": " + reason);
}

std::size_t parse_batch_size(const std::string& text) {
  // Plain decimal digits only: from_chars alone would stop at the first
  // other character and take "25x" as 25.
  std::size_t value = 0;
  const bool digits =
      !text.empty()
      && text.find_first_not_of("0123456789") == std::string::npos;
  const auto [end, ec] =
      std::from_chars(text.data(), text.data() + text.size(), value);
  if (!digits || ec != std::errc{} || value < 1 || value > k_max_batch_size) {
    reject(k_batch_size,
           text,
           "esperado um número inteiro de 1 a 10000 (valores por pedido ao "
           "Zabbix)");
  }
  return value;
}

const std::string* find(const SenderEnvironment& environment,
                        std::string_view name) {
  const auto it = environment.find(name);
  return it == environment.end() ? nullptr : &it->second;
}

// A variable that the mode needs: set and not empty.
std::string required(const SenderEnvironment& environment,
                     std::string_view name,
                     std::string_view mode) {
  const std::string* value = find(environment, name);
  if (value == nullptr) {
    throw ZabbixError(std::string(name) + " é obrigatória com "
                      + std::string(k_connect) + "=" + std::string(mode));
  }
  if (value->empty()) {
    reject(name, *value, "vazia");
  }
  return *value;
}

std::string optional(const SenderEnvironment& environment,
                     std::string_view name) {
  const std::string* value = find(environment, name);
  if (value != nullptr && value->empty()) {
    reject(name, *value, "vazia");
  }
  return value == nullptr ? std::string() : *value;
}

// Variables of another mode must not be set: a setting that would silently
// do nothing is a mistake the operator wants to hear about.
template <std::size_t N>
void refuse_others(const SenderEnvironment& environment,
                   const std::array<std::string_view, N>& names,
                   std::string_view mode) {
  for (const auto name : names) {
    if (find(environment, name) != nullptr) {
      throw ZabbixError(std::string(name) + " não se aplica a "
                        + std::string(k_connect) + "=" + std::string(mode));
    }
  }
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

// The key as Zabbix keeps it: the first line of the file, 32 to 512
// hexadecimal digits, decoded in place into the file's own buffer. No
// message quotes the file's contents.
transport::SecretBytes read_psk(const std::string& path) {
  // Room for the key's line and whatever an operator keeps after it; a file
  // larger than this is not a key file.
  constexpr std::size_t k_max_file = 64 * 1024;
  transport::SecretBytes key;
  try {
    key = transport::read_secret_file(path, k_max_file);
  } catch (const transport::TransportError& e) {
    reject(k_psk_file, path, e.what());
  }
  const std::string_view text = key.view();
  std::size_t digits = text.find_first_of("\r\n");
  if (digits == std::string_view::npos) {
    digits = text.size();
  }
  const bool hex = digits % 2 == 0 && digits >= k_min_psk_digits
                   && digits <= k_max_psk_digits
                   && std::all_of(text.begin(),
                                  text.begin() + digits,
                                  [](char c) { return hex_value(c) >= 0; });
  if (!hex) {
    reject(k_psk_file,
           path,
           "a chave deve ser a primeira linha do arquivo, um número par de 32 "
           "a 512 dígitos hexadecimais");
  }
  // Byte i is written from digits 2i and 2i+1, which lie at or after it:
  // decoding front to back never overwrites a digit still to be read.
  unsigned char* bytes = key.data();
  for (std::size_t i = 0; i < digits / 2; ++i) {
    const int high = hex_value(static_cast<char>(bytes[2 * i]));
    const int low = hex_value(static_cast<char>(bytes[2 * i + 1]));
    bytes[i] = static_cast<unsigned char>(high * 16 + low);
  }
  key.truncate(digits / 2);
  return key;
}

std::optional<transport::TlsCredentials>
tls_options(const SenderEnvironment& environment) {
  transport::TlsCredentials tls;
  const std::string* connect = find(environment, k_connect);
  const std::string mode = connect == nullptr ? "unencrypted" : *connect;
  if (mode == "unencrypted") {
    refuse_others(environment, k_psk_variables, mode);
    refuse_others(environment, k_cert_variables, mode);
    return std::nullopt;
  }
  if (mode == "psk") {
    refuse_others(environment, k_cert_variables, mode);
    tls.auth = transport::TlsAuth::psk;
    tls.psk_identity = required(environment, k_psk_identity, mode);
    if (console::well_formed_utf8(tls.psk_identity) != tls.psk_identity
        || console::code_points(tls.psk_identity) > k_max_identity) {
      reject(k_psk_identity,
             tls.psk_identity,
             "a identidade deve ter até 128 caracteres UTF-8");
    }
    // Zabbix counts characters, the TLS library bytes: 128 characters
    // outside ASCII may be more than the handshake can carry.
    if (tls.psk_identity.size() > transport::k_max_psk_identity_bytes) {
      reject(k_psk_identity,
             tls.psk_identity,
             "a identidade tem " + std::to_string(tls.psk_identity.size())
                 + " bytes em UTF-8, e o TLS aceita até "
                 + std::to_string(transport::k_max_psk_identity_bytes));
    }
    tls.psk = read_psk(required(environment, k_psk_file, mode));
    // A Zabbix server ends the handshake without a word when it knows no
    // host with the identity, or the host does not accept PSK.
    tls.closed_hint = "identidade PSK desconhecida ou o host não aceita PSK?";
    return tls;
  }
  if (mode == "cert") {
    refuse_others(environment, k_psk_variables, mode);
    tls.auth = transport::TlsAuth::cert;
    tls.ca_file = required(environment, k_ca_file, mode);
    tls.cert_file = required(environment, k_cert_file, mode);
    tls.key_file = required(environment, k_key_file, mode);
    tls.crl_file = optional(environment, k_crl_file);
    tls.server_cert_issuer = optional(environment, k_server_issuer);
    tls.server_cert_subject = optional(environment, k_server_subject);
    tls.closed_hint = "certificado não aceito pelo host?";
    return tls;
  }
  reject(k_connect, mode, "esperado unencrypted, psk ou cert");
}

} // namespace

SenderEnvironment sender_environment() {
  return console::environment_of(k_variables);
}

SenderOptions sender_options(const SenderEnvironment& environment) {
  SenderOptions options;
  if (const auto* batch = find(environment, k_batch_size)) {
    options.batch_size = parse_batch_size(*batch);
  }
  options.tls = tls_options(environment);
  return options;
}

} // namespace monitoring
