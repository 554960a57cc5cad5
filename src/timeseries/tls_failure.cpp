#include "timeseries/tls_failure.h"

#include <charconv>
#include <openssl/err.h>
#include <openssl/sslerr.h>
#include <openssl/x509_vfy.h>

namespace timeseries {
namespace {

// What libcurl's certificate check result holds before the chain's own
// result is read into it.
constexpr long k_chain_not_read = !X509_V_OK;

// OpenSSL writes its errors as "error:<8 hex digits>:<library>:...": the
// digits are the packed code, the words after them are only its rendering.
bool openssl_reason_is(std::string_view detail, int library, int reason) {
  for (auto at = detail.find("error:"); at != std::string_view::npos;
       at = detail.find("error:", at + 1)) {
    const std::string_view hex = detail.substr(at + 6, 8);
    unsigned long code = 0;
    const auto [end, ec] =
        std::from_chars(hex.data(), hex.data() + hex.size(), code, 16);
    if (ec == std::errc{} && end == hex.data() + 8
        && detail.substr(at + 14, 1) == ":"
        && ERR_GET_LIB(code) == library && ERR_GET_REASON(code) == reason) {
      return true;
    }
  }
  return false;
}

} // namespace

TlsVerdict tls_verdict(CURLcode code, long verify_result, std::string_view detail) {
  switch (code) {
  case CURLE_PEER_FAILED_VERIFICATION:
    // OpenSSL checks the chain during the handshake and libcurl keeps its
    // result; libcurl checks the name itself once the chain has passed.
    // Until it reads the chain's result it holds !X509_V_OK (1), so a
    // certificate refused with that, or with X509_V_OK, failed on its name.
    if (verify_result == X509_V_OK || verify_result == k_chain_not_read) {
      return TlsVerdict::name_mismatch;
    }
    if (verify_result == X509_V_ERR_CERT_HAS_EXPIRED) {
      return TlsVerdict::expired;
    }
    return TlsVerdict::untrusted;
  case CURLE_SSL_CACERT_BADFILE:
    return TlsVerdict::ca_file;
  case CURLE_SSL_CONNECT_ERROR:
    if (openssl_reason_is(detail, ERR_LIB_SSL, SSL_R_WRONG_VERSION_NUMBER)
        || openssl_reason_is(detail, ERR_LIB_SSL, SSL_R_PACKET_LENGTH_TOO_LONG)) {
      return TlsVerdict::not_tls;
    }
    return TlsVerdict::interrupted;
  case CURLE_SSL_CERTPROBLEM:
  case CURLE_SSL_CIPHER:
  case CURLE_SSL_ENGINE_NOTFOUND:
  case CURLE_SSL_ENGINE_SETFAILED:
  case CURLE_SSL_ENGINE_INITFAILED:
  case CURLE_SSL_ISSUER_ERROR:
  case CURLE_SSL_CRL_BADFILE:
  case CURLE_SSL_SHUTDOWN_FAILED:
  case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
  case CURLE_SSL_INVALIDCERTSTATUS:
  case CURLE_SSL_CLIENTCERT:
    return TlsVerdict::other;
  default:
    return TlsVerdict::none;
  }
}

std::string transfer_failure_text(TlsVerdict verdict, const std::string& detail) {
  switch (verdict) {
  case TlsVerdict::name_mismatch:
    return "negociação TLS: o certificado do servidor não vale para o "
           "endereço QUEST_DB_IP: "
           + detail;
  case TlsVerdict::untrusted:
    return "negociação TLS: o certificado do servidor não é de uma AC "
           "confiável (QUESTDB_TLS_CA_FILE, ou as do sistema sem ela): "
           + detail;
  case TlsVerdict::expired:
    return "negociação TLS: o certificado do servidor expirou: " + detail;
  case TlsVerdict::ca_file:
    return "negociação TLS: QUESTDB_TLS_CA_FILE não tem certificados PEM "
           "utilizáveis: "
           + detail;
  case TlsVerdict::not_tls:
    return "negociação TLS: o servidor não responde em TLS (porta HTTP sem "
           "TLS?): "
           + detail;
  case TlsVerdict::interrupted:
    return "negociação TLS interrompida: " + detail;
  case TlsVerdict::other:
    return "negociação TLS: " + detail;
  case TlsVerdict::none:
    break;
  }
  return detail;
}

bool is_tls_verdict(CURLcode code) {
  switch (code) {
  case CURLE_PEER_FAILED_VERIFICATION:
  case CURLE_SSL_CACERT_BADFILE:
  case CURLE_SSL_CERTPROBLEM:
  case CURLE_SSL_CIPHER:
  case CURLE_SSL_ISSUER_ERROR:
  case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    return true;
  default:
    return false;
  }
}

} // namespace timeseries
