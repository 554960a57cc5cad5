#include "transport/tls_context.h"

#include "transport/transport_error.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <sys/socket.h>
#include <system_error>

namespace transport {
namespace {

// The oldest reason in OpenSSL's error queue (the cause; later entries only
// say which call gave up), emptying the queue; `fallback` when it is empty.
std::string openssl_reason(const std::string& fallback) {
  const unsigned long first = ERR_get_error();
  ERR_clear_error();
  if (first == 0) {
    return fallback;
  }
  if (ERR_SYSTEM_ERROR(first)) {
    return std::system_category().message(ERR_GET_REASON(first));
  }
  const char* reason = ERR_reason_error_string(first);
  if (reason != nullptr) {
    return reason;
  }
  char buf[256];
  ERR_error_string_n(first, buf, sizeof buf);
  return buf;
}

int socket_of(BIO* bio) {
  return static_cast<int>(reinterpret_cast<std::intptr_t>(BIO_get_data(bio)));
}

// The session's transport is the connection's own socket, written with
// MSG_NOSIGNAL: OpenSSL's socket BIO writes with write(), and a server that
// has closed would then end the process with SIGPIPE instead of an error.
int transport_write(BIO* bio, const char* data, int size) {
  BIO_clear_retry_flags(bio);
  const ssize_t n = ::send(
      socket_of(bio), data, static_cast<std::size_t>(size), MSG_NOSIGNAL);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
    BIO_set_retry_write(bio);
  }
  return static_cast<int>(n);
}

int transport_read(BIO* bio, char* out, int size) {
  BIO_clear_retry_flags(bio);
  const ssize_t n =
      ::recv(socket_of(bio), out, static_cast<std::size_t>(size), 0);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
    BIO_set_retry_read(bio);
  }
  return static_cast<int>(n);
}

long transport_ctrl(BIO* /*bio*/, int command, long /*num*/, void* /*ptr*/) {
  // Writes go straight to the socket: there is nothing to flush.
  return command == BIO_CTRL_FLUSH ? 1 : 0;
}

int transport_create(BIO* bio) {
  BIO_set_init(bio, 1);
  return 1;
}

unsigned int psk_client(SSL* ssl,
                        const char* /*hint*/,
                        char* identity,
                        unsigned int max_identity,
                        unsigned char* psk,
                        unsigned int max_psk) {
  const auto* context = static_cast<const TlsContext*>(
      SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
  const auto& credentials = context->credentials();
  // OpenSSL's identity buffer holds max_identity bytes and the terminating
  // NUL; settings longer than that are refused before any connection.
  if (credentials.psk_identity.size() > max_identity
      || credentials.psk.size() > max_psk) {
    return 0;
  }
  std::memcpy(identity,
              credentials.psk_identity.c_str(),
              credentials.psk_identity.size() + 1);
  std::memcpy(psk, credentials.psk.data(), credentials.psk.size());
  return static_cast<unsigned int>(credentials.psk.size());
}

// A key file protected by a passphrase must fail, not ask for it on a
// terminal that a scheduled run does not have.
int no_passphrase(char* /*buf*/, int /*size*/, int /*rwflag*/, void* /*u*/) {
  return 0;
}

[[noreturn]] void throw_unusable(Step file, const std::string& reason) {
  throw TransportError(file, reason);
}

// A distinguished name as RFC 4514 writes it, the form in which the expected
// issuer and subject are given.
std::string rfc4514(const X509_NAME* name) {
  BIO* memory = BIO_new(BIO_s_mem());
  if (memory == nullptr) {
    return {};
  }
  X509_NAME_print_ex(memory, name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB);
  char* data = nullptr;
  const long size = BIO_get_mem_data(memory, &data);
  std::string text(data, static_cast<std::size_t>(size > 0 ? size : 0));
  BIO_free(memory);
  return text;
}

} // namespace

void TlsContext::CtxFree::operator()(ssl_ctx_st* ctx) const noexcept {
  SSL_CTX_free(ctx);
}

void TlsContext::MethodFree::operator()(bio_method_st* method) const noexcept {
  BIO_meth_free(method);
}

TlsContext::TlsContext(TlsCredentials credentials)
    : m_credentials(std::move(credentials)) {
  ERR_clear_error();
  m_ctx.reset(SSL_CTX_new(TLS_client_method()));
  BIO_METHOD* method = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK,
                                    "nonblocking socket");
  m_transport.reset(method);
  if (!m_ctx || method == nullptr) {
    throw TransportError(Step::tls_setup,
                         "TLS: " + openssl_reason("memória insuficiente"));
  }
  BIO_meth_set_write(method, transport_write);
  BIO_meth_set_read(method, transport_read);
  BIO_meth_set_ctrl(method, transport_ctrl);
  BIO_meth_set_create(method, transport_create);

  SSL_CTX* ctx = m_ctx.get();
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  // The reply carries its own length, so a peer that closes without
  // close_notify after it is no loss; one that closes early is caught by
  // that length.
  SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
  SSL_CTX_set_mode(
      ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  SSL_CTX_set_app_data(ctx, this);
  SSL_CTX_set_default_passwd_cb(ctx, no_passphrase);

  if (m_credentials.auth == TlsAuth::psk) {
    // The key is the proof on both sides: there is no certificate to check.
    // Only PSK key exchanges are offered: a server that also has
    // certificates would otherwise pick one of those and then ask for a
    // client certificate this side does not have.
    if (SSL_CTX_set_cipher_list(ctx, "kECDHEPSK:kPSK") != 1) {
      throw TransportError(Step::tls_setup,
                           "TLS: " + openssl_reason("sem cifras PSK"));
    }
    SSL_CTX_set_psk_client_callback(ctx, psk_client);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
    return;
  }
  const auto& o = m_credentials;
  if (SSL_CTX_load_verify_locations(ctx, o.ca_file.c_str(), nullptr) != 1) {
    throw_unusable(Step::ca_file, openssl_reason("ilegível"));
  }
  if (SSL_CTX_use_certificate_chain_file(ctx, o.cert_file.c_str()) != 1) {
    throw_unusable(Step::cert_file, openssl_reason("ilegível"));
  }
  if (SSL_CTX_use_PrivateKey_file(ctx, o.key_file.c_str(), SSL_FILETYPE_PEM)
          != 1
      || SSL_CTX_check_private_key(ctx) != 1) {
    const bool mismatch =
        ERR_GET_REASON(ERR_peek_last_error()) == X509_R_KEY_VALUES_MISMATCH;
    if (mismatch) {
      ERR_clear_error();
      throw_unusable(Step::key_pair, "a chave não corresponde ao certificado");
    }
    throw_unusable(Step::key_file, openssl_reason("ilegível"));
  }
  if (!o.crl_file.empty()) {
    X509_STORE* store = SSL_CTX_get_cert_store(ctx);
    X509_LOOKUP* lookup = X509_STORE_add_lookup(store, X509_LOOKUP_file());
    if (lookup == nullptr
        || X509_load_crl_file(lookup, o.crl_file.c_str(), X509_FILETYPE_PEM)
               < 1) {
      throw_unusable(Step::crl_file, openssl_reason("ilegível"));
    }
    X509_STORE_set_flags(store,
                         X509_V_FLAG_CRL_CHECK | X509_V_FLAG_CRL_CHECK_ALL);
  }
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
}

TlsContext::~TlsContext() = default;

TlsSession::TlsSession(const TlsContext& context, int fd)
    : m_context(context), m_ssl(SSL_new(context.native())) {
  BIO* bio = m_ssl != nullptr ? BIO_new(context.transport()) : nullptr;
  if (bio == nullptr) {
    SSL_free(m_ssl);
    throw TransportError(Step::tls_setup,
                         "TLS: " + openssl_reason("memória insuficiente"));
  }
  BIO_set_data(bio, reinterpret_cast<void*>(static_cast<std::intptr_t>(fd)));
  SSL_set_bio(m_ssl, bio, bio);
  SSL_set_connect_state(m_ssl);
}

TlsSession::~TlsSession() {
  // One close_notify, without waiting for the server's: the exchange is
  // over either way.
  SSL_shutdown(m_ssl);
  SSL_free(m_ssl);
  ERR_clear_error();
}

namespace {

// What a failed call on the session means: a wait, the end of the stream,
// or a failure of `step` whose reason `prefix` starts.
Progress judge(SSL* ssl,
               int rc,
               int saved_errno,
               Step step,
               const std::string& prefix,
               const std::string& eof_reason) {
  switch (SSL_get_error(ssl, rc)) {
  case SSL_ERROR_WANT_READ:
    return {Wait::readable};
  case SSL_ERROR_WANT_WRITE:
    return {Wait::writable};
  case SSL_ERROR_ZERO_RETURN:
    if (eof_reason.empty()) {
      return {Wait::none, 0, true};
    }
    throw TransportError(step, prefix + eof_reason);
  case SSL_ERROR_SYSCALL:
    if (ERR_peek_error() == 0) {
      if (saved_errno == 0) {
        if (eof_reason.empty()) {
          return {Wait::none, 0, true};
        }
        throw TransportError(step, prefix + eof_reason);
      }
      throw TransportError(
          step, prefix + std::system_category().message(saved_errno));
    }
    break;
  default:
    break;
  }
  std::string reason =
      openssl_reason(eof_reason.empty() ? "falha" : eof_reason);
  const long verified = SSL_get_verify_result(ssl);
  if (verified != X509_V_OK) {
    reason += " (" + std::string(X509_verify_cert_error_string(verified)) + ")";
  }
  throw TransportError(step, prefix + reason);
}

} // namespace

Progress TlsSession::handshake() {
  ERR_clear_error();
  errno = 0;
  const int rc = SSL_connect(m_ssl);
  const int saved = errno;
  if (rc == 1) {
    check_server_certificate();
    return {};
  }
  // A server that refuses the credentials may end the handshake without a
  // word; the caller knows what that most likely means for its peer.
  const std::string& hint = m_context.credentials().closed_hint;
  return judge(m_ssl,
               rc,
               saved,
               Step::handshake,
               "negociação TLS: ",
               "o servidor fechou a conexão"
                   + (hint.empty() ? std::string() : " (" + hint + ")"));
}

Progress TlsSession::write(std::string_view bytes) {
  ERR_clear_error();
  errno = 0;
  std::size_t written = 0;
  const int rc = SSL_write_ex(m_ssl, bytes.data(), bytes.size(), &written);
  const int saved = errno;
  if (rc == 1) {
    return {Wait::none, written};
  }
  return judge(m_ssl,
               rc,
               saved,
               Step::write,
               "enviar o pedido: ",
               "o servidor fechou a conexão");
}

Progress TlsSession::read(std::span<unsigned char> out) {
  ERR_clear_error();
  errno = 0;
  std::size_t got = 0;
  const int rc = SSL_read_ex(m_ssl, out.data(), out.size(), &got);
  const int saved = errno;
  if (rc == 1) {
    return {Wait::none, got};
  }
  return judge(m_ssl, rc, saved, Step::read, "ler a resposta: ", {});
}

void TlsSession::check_server_certificate() const {
  const auto& o = m_context.credentials();
  if (o.server_cert_issuer.empty() && o.server_cert_subject.empty()) {
    return;
  }
  const X509* peer = SSL_get0_peer_certificate(m_ssl);
  if (peer == nullptr) {
    throw TransportError(
        Step::handshake,
        "negociação TLS: o servidor não apresentou certificado");
  }
  const auto check =
      [](const char* what, const std::string& expected, const X509_NAME* name) {
        if (expected.empty()) {
          return;
        }
        const std::string actual = rfc4514(name);
        if (actual != expected) {
          throw TransportError(Step::handshake,
                               std::string("certificado do servidor: ") + what
                                   + " \"" + actual + "\", esperado \""
                                   + expected + "\"");
        }
      };
  check("emissor", o.server_cert_issuer, X509_get_issuer_name(peer));
  check("assunto", o.server_cert_subject, X509_get_subject_name(peer));
}

} // namespace transport
