#include "monitoring/sender_settings.h"

#include "console/text_form.h"
#include "settings/reader.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <string_view>

namespace monitoring {
namespace {

constexpr std::string_view k_server = "ZABBIX_SERVER";
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

constexpr std::array<std::string_view, 11> k_variables{k_server,
                                                       k_batch_size,
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

settings::Reader reader_of(const SenderEnvironment& environment) {
  return settings::Reader(
      environment, [](const std::string&, const std::string& message) {
        throw ZabbixError(message);
      });
}

std::size_t parse_batch_size(const settings::Reader& reader,
                             const std::string& text) {
  // Plain decimal digits only: from_chars alone would stop at the first
  // other character and take "25x" as 25.
  std::size_t value = 0;
  const bool digits =
      !text.empty()
      && text.find_first_not_of("0123456789") == std::string::npos;
  const auto [end, ec] =
      std::from_chars(text.data(), text.data() + text.size(), value);
  if (!digits || ec != std::errc{} || value < 1 || value > k_max_batch_size) {
    reader.reject(k_batch_size,
                  text,
                  "esperado um número inteiro de 1 a 10000 (valores por "
                  "pedido ao Zabbix)");
  }
  return value;
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
transport::SecretBytes read_psk(const settings::Reader& reader,
                                const std::string& path) {
  transport::SecretBytes key = reader.secret_line(k_psk_file, path);
  const std::string_view digits = key.view();
  const bool hex = digits.size() % 2 == 0 && digits.size() >= k_min_psk_digits
                   && digits.size() <= k_max_psk_digits
                   && std::all_of(digits.begin(), digits.end(), [](char c) {
                        return hex_value(c) >= 0;
                      });
  if (!hex) {
    reader.reject(k_psk_file,
                  path,
                  "a chave deve ser a primeira linha do arquivo, um número "
                  "par de 32 a 512 dígitos hexadecimais");
  }
  // Byte i is written from digits 2i and 2i+1, which lie at or after it:
  // decoding front to back never overwrites a digit still to be read.
  unsigned char* bytes = key.data();
  const std::size_t size = digits.size() / 2;
  for (std::size_t i = 0; i < size; ++i) {
    const int high = hex_value(static_cast<char>(bytes[2 * i]));
    const int low = hex_value(static_cast<char>(bytes[2 * i + 1]));
    bytes[i] = static_cast<unsigned char>(high * 16 + low);
  }
  key.truncate(size);
  return key;
}

std::optional<transport::TlsCredentials>
tls_options(const settings::Reader& reader) {
  transport::TlsCredentials tls;
  const std::string mode = reader.find(k_connect).value_or("unencrypted");
  const std::string with_mode = std::string(k_connect) + "=" + mode;
  if (mode == "unencrypted") {
    reader.refuse_set(k_psk_variables, with_mode);
    reader.refuse_set(k_cert_variables, with_mode);
    return std::nullopt;
  }
  if (mode == "psk") {
    reader.refuse_set(k_cert_variables, with_mode);
    tls.auth = transport::TlsAuth::psk;
    tls.psk_identity = reader.require(k_psk_identity, with_mode);
    if (console::well_formed_utf8(tls.psk_identity) != tls.psk_identity
        || console::code_points(tls.psk_identity) > k_max_identity) {
      reader.reject(k_psk_identity,
                    tls.psk_identity,
                    "a identidade deve ter até 128 caracteres UTF-8");
    }
    // Zabbix counts characters, the TLS library bytes: 128 characters
    // outside ASCII may be more than the handshake can carry.
    if (tls.psk_identity.size() > transport::k_max_psk_identity_bytes) {
      reader.reject(k_psk_identity,
                    tls.psk_identity,
                    "a identidade tem " + std::to_string(tls.psk_identity.size())
                        + " bytes em UTF-8, e o TLS aceita até "
                        + std::to_string(transport::k_max_psk_identity_bytes));
    }
    tls.psk = read_psk(reader, reader.require(k_psk_file, with_mode));
    // A Zabbix server ends the handshake without a word when it knows no
    // host with the identity, or the host does not accept PSK.
    tls.closed_hint = "identidade PSK desconhecida ou o host não aceita PSK?";
    return tls;
  }
  if (mode == "cert") {
    reader.refuse_set(k_psk_variables, with_mode);
    tls.auth = transport::TlsAuth::cert;
    tls.ca_file = reader.require(k_ca_file, with_mode);
    tls.cert_file = reader.require(k_cert_file, with_mode);
    tls.key_file = reader.require(k_key_file, with_mode);
    tls.crl_file = reader.find(k_crl_file).value_or("");
    tls.server_cert_issuer = reader.find(k_server_issuer).value_or("");
    tls.server_cert_subject = reader.find(k_server_subject).value_or("");
    tls.closed_hint = "certificado não aceito pelo host?";
    return tls;
  }
  reader.reject(k_connect, mode, "esperado unencrypted, psk ou cert");
}

} // namespace

SenderEnvironment sender_environment() {
  return console::environment_of(k_variables);
}

std::span<const std::string_view> sender_variables() {
  return k_variables;
}

std::vector<ZabbixServer> zabbix_nodes(const SenderEnvironment& environment,
                                       std::string_view default_server) {
  const auto server = reader_of(environment).find(k_server);
  return parse_zabbix_nodes(server ? std::string_view(*server) : default_server);
}

SenderOptions sender_options(const SenderEnvironment& environment) {
  const settings::Reader reader = reader_of(environment);
  SenderOptions options;
  if (const auto batch = reader.find(k_batch_size)) {
    options.batch_size = parse_batch_size(reader, *batch);
  }
  options.tls = tls_options(reader);
  return options;
}

} // namespace monitoring
