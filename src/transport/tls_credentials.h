#pragma once

#include "transport/secret.h"

#include <string>

namespace transport {

/// How a TLS client proves itself and checks its server.
enum class TlsAuth { psk, cert };

/// The credentials and checks of a TLS client: a pre-shared key and its
/// identity, or certificates with the server's certificate checked against
/// a CA (and optionally its issuer and subject).
struct TlsCredentials {
  TlsAuth auth = TlsAuth::psk;
  // psk
  std::string psk_identity;
  SecretBytes psk;
  // cert
  std::string ca_file;
  std::string crl_file; ///< empty: no revocation list
  std::string cert_file;
  std::string key_file;
  /// The server certificate's issuer and subject as RFC 4514 strings;
  /// empty: not checked.
  std::string server_cert_issuer;
  std::string server_cert_subject;
  /// What a server that closes the connection during the handshake most
  /// likely means, in the operator's words (the peer's protocol knows);
  /// empty: no guess.
  std::string closed_hint;
};

/// Longest PSK identity OpenSSL sends, in bytes (PSK_MAX_IDENTITY_LEN).
inline constexpr std::size_t k_max_psk_identity_bytes = 256;

} // namespace transport
