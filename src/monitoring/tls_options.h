#pragma once

#include <cstddef>
#include <string.h> // explicit_bzero
#include <string>
#include <utility>
#include <vector>

namespace monitoring {

/// Bytes that must not outlive their use in memory: wiped when destroyed.
class SecretBytes {
public:
  SecretBytes() = default;
  explicit SecretBytes(std::vector<unsigned char> bytes)
      : m_bytes(std::move(bytes)) {}
  SecretBytes(const SecretBytes&) = default;
  SecretBytes& operator=(const SecretBytes& other) {
    if (this != &other) {
      wipe();
      m_bytes = other.m_bytes;
    }
    return *this;
  }
  SecretBytes(SecretBytes&& other) noexcept
      : m_bytes(std::exchange(other.m_bytes, {})) {}
  SecretBytes& operator=(SecretBytes&& other) noexcept {
    if (this != &other) {
      wipe();
      m_bytes = std::exchange(other.m_bytes, {});
    }
    return *this;
  }
  ~SecretBytes() { wipe(); }

  const unsigned char* data() const { return m_bytes.data(); }
  std::size_t size() const { return m_bytes.size(); }
  bool empty() const { return m_bytes.empty(); }

private:
  void wipe() noexcept {
    if (!m_bytes.empty()) {
      explicit_bzero(m_bytes.data(), m_bytes.size());
    }
  }
  std::vector<unsigned char> m_bytes;
};

/// How the sender's connections are protected, as zabbix_sender's
/// --tls-connect names it.
enum class TlsConnect { unencrypted, psk, cert };

/// TLS to the Zabbix server: a pre-shared key, or certificates, each with
/// the checks zabbix_sender makes.
struct TlsOptions {
  TlsConnect connect = TlsConnect::unencrypted;
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
};

} // namespace monitoring
