#include "timeseries/tls_failure.h"

#include <string_view>

namespace timeseries {

std::string transfer_failure_text(CURLcode code, const std::string& detail) {
  const auto says = [&detail](std::string_view words) {
    return detail.find(words) != std::string::npos;
  };
  switch (code) {
  case CURLE_PEER_FAILED_VERIFICATION:
    // libcurl's text names the host it checked: QUEST_DB_IP as given.
    if (says("target host name")) {
      return "negociação TLS: o certificado do servidor não vale para o "
             "endereço QUEST_DB_IP: "
             + detail;
    }
    return "negociação TLS: o certificado do servidor não é de uma AC "
           "confiável (QUESTDB_TLS_CA_FILE, ou as do sistema sem ela): "
           + detail;
  case CURLE_SSL_CACERT_BADFILE:
    return "negociação TLS: QUESTDB_TLS_CA_FILE não tem certificados PEM "
           "utilizáveis: "
           + detail;
  case CURLE_SSL_CONNECT_ERROR:
    if (says("wrong version number") || says("packet length too long")) {
      return "negociação TLS: o servidor não responde em TLS (porta HTTP sem "
             "TLS?): "
             + detail;
    }
    return "negociação TLS interrompida: " + detail;
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
    return "negociação TLS: " + detail;
  default:
    return detail;
  }
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
