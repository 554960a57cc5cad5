#pragma once

#include "monitoring/tls_options.h"

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

namespace monitoring {

/// What the credentials and checks of every TLS connection of a run need,
/// loaded once: the PSK, or the CA, revocation list, certificate and key
/// files, and the expected issuer and subject of the server's certificate.
class TlsContext {
public:
  /// Loads `options` (which must ask for psk or cert). Throws ZabbixError
  /// naming the variable and file that cannot be used; never quotes the key.
  explicit TlsContext(TlsOptions options);
  ~TlsContext();
  TlsContext(const TlsContext&) = delete;
  TlsContext& operator=(const TlsContext&) = delete;

  const TlsOptions& options() const { return m_options; }
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
  TlsOptions m_options;
  std::unique_ptr<ssl_ctx_st, CtxFree> m_ctx;
  std::unique_ptr<bio_method_st, MethodFree> m_transport;
};

/// One TLS session over a connected non-blocking socket. Each call makes as
/// much progress as the socket allows and says what it waits for; the
/// caller polls. Failures throw ZabbixError (reason only).
class TlsSession {
public:
  enum class Wait { none, readable, writable };
  struct Progress {
    Wait wait = Wait::none;
    std::size_t bytes = 0; ///< moved by this call
    bool closed = false;   ///< the peer ended the stream (reads only)
  };

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

} // namespace monitoring
