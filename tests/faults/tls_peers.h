#pragma once

#include "transport/fd.h"

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace faults {

/// Keys and certificates for one test, made by tests/support/make_test_certs
/// in a new temporary directory that goes with the object: a CA, another CA,
/// a server certificate from each, a client certificate and a PSK; with
/// `store_ip`, also store.pem for that address and store_other_name.pem for
/// a name only.
class TlsFiles {
public:
  explicit TlsFiles(const std::string& store_ip = {});
  ~TlsFiles();
  TlsFiles(const TlsFiles&) = delete;
  TlsFiles& operator=(const TlsFiles&) = delete;

  /// The file `name` (for instance "ca.pem") in the directory.
  std::string path(const std::string& name) const { return m_dir + "/" + name; }
  /// The PSK's 64 hexadecimal digits.
  const std::string& psk_hex() const { return m_psk_hex; }

private:
  std::string m_dir;
  std::string m_psk_hex;
};

/// `openssl s_server` on address (a free port): a TLS peer that completes
/// or refuses each handshake as its arguments say, then reads what it is
/// sent and never answers nor closes. Stopped by its PID on destruction.
class OpenSslServer {
public:
  OpenSslServer(const std::string& address,
                const std::vector<std::string>& args);
  ~OpenSslServer();
  OpenSslServer(const OpenSslServer&) = delete;
  OpenSslServer& operator=(const OpenSslServer&) = delete;
  std::uint16_t port() const { return m_port; }

private:
  std::uint16_t m_port = 0;
  transport::Fd m_input; ///< the write end of s_server's standard input
  pid_t m_pid = -1;
};

/// nginx from Debian as a TLS terminator on one address: each route takes
/// TLS on its port with `cert` and `key` and passes the requests on in plain
/// HTTP. One foreground process (its configuration, PID file, logs and
/// temporary files in a directory of its own), stopped by its PID.
class NginxTls {
public:
  struct Route {
    std::uint16_t port;
    std::string target_host;
    std::uint16_t target_port;
  };
  /// Where Debian installs it; empty when it is not installed.
  static std::string binary();

  NginxTls(const std::string& address,
           const std::vector<Route>& routes,
           const std::string& cert,
           const std::string& key);
  ~NginxTls();
  NginxTls(const NginxTls&) = delete;
  NginxTls& operator=(const NginxTls&) = delete;

private:
  void stop() noexcept;

  std::string m_dir;
  pid_t m_pid = -1;
};

} // namespace faults
