#pragma once

#include <curl/curl.h>
#include <string>
#include <string_view>

namespace timeseries {

/// What a failed TLS handshake with the store means to the operator, decided
/// from libcurl's result code, the certificate check's own result
/// (CURLINFO_SSL_VERIFYRESULT) and the TLS library's error code, never from
/// the words of a message.
enum class TlsVerdict {
  none,          ///< not a TLS failure
  name_mismatch, ///< a trusted certificate for another name than QUEST_DB_IP
  untrusted,     ///< a certificate from no trusted CA
  expired,       ///< a trusted certificate past its validity
  ca_file,       ///< QUESTDB_TLS_CA_FILE holds no usable certificate
  not_tls,       ///< the server answered in something other than TLS
  interrupted,   ///< the handshake ended otherwise
  other,         ///< another of libcurl's TLS failures
};

/// The verdict for a transfer that ended with `code`, whose certificate check
/// gave `verify_result` (an X509_V_ code; 0 when the chain was trusted or not
/// checked) and whose error text is `detail`, read only for the TLS
/// library's packed error code ("error:0A00010B:").
TlsVerdict tls_verdict(CURLcode code, long verify_result, std::string_view detail);

/// The text for a failed transfer: for a TLS failure, what failed in the
/// operator's terms followed by libcurl's own `detail`; for any other
/// failure, `detail` unchanged.
std::string transfer_failure_text(TlsVerdict verdict, const std::string& detail);

/// Whether a failure is the server's certificate or the client's own TLS
/// settings, which trying again cannot change.
bool is_tls_verdict(CURLcode code);

} // namespace timeseries
