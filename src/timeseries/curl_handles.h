#pragma once

#include "timeseries/curl_global.h"
#include "timeseries/tls_failure.h"

#include <curl/curl.h>
#include <memory>
#include <string>

namespace timeseries {

struct CurlEasyFree {
  void operator()(CURL* handle) const noexcept { curl_easy_cleanup(handle); }
};
struct CurlSlistFree {
  void operator()(curl_slist* list) const noexcept {
    curl_slist_free_all(list);
  }
};
struct CurlUrlFree {
  void operator()(CURLU* url) const noexcept { curl_url_cleanup(url); }
};

/// An easy handle; its connection cache lives as long as it does.
using CurlEasy = std::unique_ptr<CURL, CurlEasyFree>;
/// A header list.
using CurlSlist = std::unique_ptr<curl_slist, CurlSlistFree>;
/// A parsed URL.
using CurlUrl = std::unique_ptr<CURLU, CurlUrlFree>;

/// A new easy handle that raises no signal. Throws std::runtime_error when libcurl cannot make one.
CurlEasy make_easy();

/// Appends one header line to list; throws std::runtime_error when out of
/// memory.
void append_header(CurlSlist& list, const char* line);

/// One transfer's outcome: libcurl's code and its text for it.
struct TransferResult {
  CURLcode code = CURLE_OK;
  std::string error; ///< the detailed error text, or curl_easy_strerror(code),
                     ///< in transfer_failure_text's words; empty on success
  TlsVerdict tls = TlsVerdict::none; ///< what a TLS failure means
};

/// Runs curl_easy_perform within the run's time bound: a progress callback
/// ends the transfer once the bound is exceeded, and the
/// console::TimeoutException is thrown here, after libcurl has returned (so
/// too when a libcurl time-out set from the bound's remainder ends it). The
/// handle's body is collected into `body` (appended).
TransferResult perform_bounded(CURL* handle, std::string& body);

} // namespace timeseries
