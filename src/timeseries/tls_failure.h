#pragma once

#include <curl/curl.h>
#include <string>

namespace timeseries {

/// The text for a failed transfer: for a TLS failure, what failed in the
/// operator's terms (the certificate's issuer, its name, a server that does
/// not speak TLS, the CA file) followed by libcurl's own `detail`; for any
/// other failure, `detail` unchanged.
std::string transfer_failure_text(CURLcode code, const std::string& detail);

/// Whether a failure is the server's certificate or the client's own TLS
/// settings, which trying again cannot change.
bool is_tls_verdict(CURLcode code);

} // namespace timeseries
