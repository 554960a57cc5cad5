#pragma once

#include <stdexcept>
#include <string>

namespace transport {

/// Where a connection (or the reading of a credential) failed. The callers
/// build their rules on it: a connection that was never opened may be tried
/// elsewhere, one that carried bytes may not.
enum class Step {
  resolve,   ///< the name did not resolve to any address
  connect,   ///< no address took the connection
  handshake, ///< TLS negotiation, the server's certificate included
  write,     ///< sending the request
  read,      ///< reading the reply
  file,      ///< a credential file could not be read
  tls_setup, ///< the TLS library could not make a context or session
  ca_file,   ///< the CA certificates could not be loaded
  crl_file,  ///< the revocation list could not be loaded
  cert_file, ///< the client's certificate could not be loaded
  key_file,  ///< the client's key could not be loaded
  key_pair,  ///< the key does not belong to the certificate
};

/// A transport failure: the step, and the reason in the operator's words
/// (Portuguese), which is also what(). Knows nothing of the peer's protocol:
/// the caller names the exchange.
class TransportError : public std::runtime_error {
public:
  TransportError(Step step, const std::string& reason)
      : std::runtime_error(reason), m_step(step) {}

  Step step() const { return m_step; }
  /// True when nothing was sent: the connection was never opened.
  bool before_connection() const {
    return m_step == Step::resolve || m_step == Step::connect;
  }

private:
  Step m_step;
};

} // namespace transport
