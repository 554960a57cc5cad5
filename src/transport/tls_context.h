#pragma once

#include "transport/progress.h"
#include "transport/tls_credentials.h"

#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <string_view>

// OpenSSL's own types, declared so that only the TLS sources include its
// headers.
struct ssl_ctx_st;
struct ssl_st;
struct bio_method_st;

namespace transport {

/// What the credentials and checks of every TLS connection of a run need,
/// loaded once: the PSK, or the CA, revocation list, certificate and key
/// files, and the expected issuer and subject of the server's certificate.
/// Holds the only copy of the key.
class TlsContext {
public:
  /// Loads `credentials`. Throws TransportError whose step names the file
  /// that cannot be used (Step::ca_file …, Step::key_pair); never quotes the
  /// key.
  explicit TlsContext(TlsCredentials credentials);
  ~TlsContext();
  TlsContext(const TlsContext&) = delete;
  TlsContext& operator=(const TlsContext&) = delete;

  const TlsCredentials& credentials() const { return m_credentials; }
  ssl_ctx_st* native() const { return m_ctx.get(); }
  /// The transport of every session: the connection's socket, written with
  /// MSG_NOSIGNAL so a peer that has gone away is an error, not a signal.
  const bio_method_st* transport() const { return m_transport.get(); }

private:
  struct CtxFree {
    void operator()(ssl_ctx_st* ctx) const noexcept;
  };
  struct MethodFree {
    void operator()(bio_method_st* method) const noexcept;
  };
  TlsCredentials m_credentials;
  std::unique_ptr<ssl_ctx_st, CtxFree> m_ctx;
  std::unique_ptr<bio_method_st, MethodFree> m_transport;
};

/// One TLS session over a connected non-blocking socket. Each call makes as
/// much progress as the socket allows and says what it waits for; the
/// caller polls. Failures throw TransportError (Step::handshake, write,
/// read).
class TlsSession {
public:
  TlsSession(const TlsContext& context, int fd);
  ~TlsSession();
  TlsSession(const TlsSession&) = delete;
  TlsSession& operator=(const TlsSession&) = delete;

  /// One step of the handshake; Wait::none once it is done and the server's
  /// certificate passed the checks asked for.
  Progress handshake();
  Progress write(std::string_view bytes);
  Progress read(std::span<unsigned char> out);

private:
  void check_server_certificate() const;
  const TlsContext& m_context;
  ssl_st* m_ssl;
};

} // namespace transport
