#pragma once

#include "timeseries/store_access.h"

#include <curl/curl.h>
#include <string>

namespace timeseries {

/// Makes `handle` authenticate as `access` says: basic authentication with
/// the fixed pair or the operator's pair, or a bearer token. libcurl keeps
/// its own copy of the password or token until the handle is cleaned up.
void set_credentials(CURL* handle, const StoreAccess& access);

/// Makes `handle` speak TLS 1.2 or later and verify the server's certificate
/// and its name or address against the URL's host, trusting only the CAs in
/// `ca_file` when it is not empty and the system's otherwise.
void set_tls(CURL* handle, const std::string& ca_file);

} // namespace timeseries
