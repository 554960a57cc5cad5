#pragma once

#include "transport/secret.h"

#include <string>

namespace monitoring {

/// How the sender's connections are protected, as zabbix_sender's
/// --tls-connect names it.
enum class TlsConnect { unencrypted, psk, cert };

/// TLS to the Zabbix server: a pre-shared key, or certificates, each with
/// the checks zabbix_sender makes.
struct TlsOptions {
  TlsConnect connect = TlsConnect::unencrypted;
  // psk
  std::string psk_identity;
  transport::SecretBytes psk;
  // cert
  std::string ca_file;
  std::string crl_file; ///< empty: no revocation list
  std::string cert_file;
  std::string key_file;
  /// The server certificate's issuer and subject as RFC 4514 strings;
  /// empty: not checked.
  std::string server_cert_issuer;
  std::string server_cert_subject;
};

} // namespace monitoring
