#include "timeseries/request_options.h"

namespace timeseries {
namespace {

// The pair every store had to accept before the operator could choose; kept
// as the default so that an installation that sets nothing sees no change.
constexpr const char* k_fixed_user = "korviadmin";
constexpr const char* k_fixed_password = "sentinelKQ";

} // namespace

void set_credentials(CURL* handle, const StoreAccess& access) {
  switch (access.auth) {
  case StoreAuth::fixed_pair:
    curl_easy_setopt(
        handle, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
    curl_easy_setopt(handle, CURLOPT_USERNAME, k_fixed_user);
    curl_easy_setopt(handle, CURLOPT_PASSWORD, k_fixed_password);
    break;
  case StoreAuth::basic:
    curl_easy_setopt(
        handle, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
    curl_easy_setopt(handle, CURLOPT_USERNAME, access.user.c_str());
    curl_easy_setopt(handle, CURLOPT_PASSWORD, access.secret.c_str());
    break;
  case StoreAuth::bearer:
    // libcurl writes "Authorization: Bearer <token>" itself, from its own
    // copy, so no header list holds the token.
    curl_easy_setopt(
        handle, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BEARER));
    curl_easy_setopt(handle, CURLOPT_XOAUTH2_BEARER, access.secret.c_str());
    break;
  }
}

void set_tls(CURL* handle, const std::string& ca_file) {
  curl_easy_setopt(
      handle, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
  // libcurl's defaults, stated: there is no setting that turns them off.
  curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
  if (!ca_file.empty()) {
    curl_easy_setopt(handle, CURLOPT_CAINFO, ca_file.c_str());
    // Debian's libcurl also trusts the directory of system roots; the
    // operator's CA file is meant to be the only trust.
    curl_easy_setopt(handle, CURLOPT_CAPATH, nullptr);
  }
}

} // namespace timeseries
