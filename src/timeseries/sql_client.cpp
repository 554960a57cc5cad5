#include "timeseries/sql_client.h"

#include "console/deadline.h"
#include "timeseries/curl_handles.h"
#include "timeseries/reply_error.h"
#include "timeseries/request_options.h"

#include <nlohmann/json.hpp>

namespace timeseries {
namespace {

// Adds one name=value pair the way an HTML form encodes it: with
// CURLU_URLENCODE on the query part libcurl writes a space as '+', keeps the
// first '=' and percent-encodes everything outside A-Z a-z 0-9 - . _ ~.
CURLUcode append_form_pair(CURLU* url, const std::string& pair) {
  return curl_url_set(
      url, CURLUPART_QUERY, pair.c_str(), CURLU_APPENDQUERY | CURLU_URLENCODE);
}

} // namespace

std::optional<nlohmann::json> run_query(std::string_view quest_db_ip,
                                        const std::string& sql_query,
                                        std::ostream& out,
                                        const StoreAccess& access) {
  const std::string endpoint = (access.https ? "https://" : "http://")
                               + std::string(quest_db_ip) + ":"
                               + std::string(k_sql_port) + "/exec";
  CurlUrl url(curl_url());
  if (!url) {
    throw std::runtime_error("curl_url failed");
  }
  CURLUcode url_code =
      curl_url_set(url.get(), CURLUPART_URL, endpoint.c_str(), 0);
  if (url_code == CURLUE_OK) {
    url_code = append_form_pair(url.get(), "query=" + sql_query);
  }
  if (url_code == CURLUE_OK) {
    url_code = append_form_pair(url.get(), "fmt=json");
  }
  if (url_code != CURLUE_OK) {
    // An address libcurl cannot use (an empty host, say) is a request failure
    // too.
    out << ("Error: " + std::string(curl_url_strerror(url_code)) + "\n");
    return std::nullopt;
  }

  CurlEasy handle = make_easy();
  curl_easy_setopt(handle.get(), CURLOPT_CURLU, url.get());
  curl_easy_setopt(handle.get(), CURLOPT_HTTPGET, 1L);
  set_credentials(handle.get(), access);
  if (access.https) {
    set_tls(handle.get(), access.ca_file);
  }
  // The request has no time-out of its own: only the run's bound stops a
  // silent store. libcurl is told what is left of it, so that a name being
  // resolved is cut too.
  const int left_ms = console::deadline::wait_ms();
  if (left_ms >= 0) {
    curl_easy_setopt(handle.get(), CURLOPT_TIMEOUT_MS, static_cast<long>(left_ms));
  }

  std::string body;
  const TransferResult result = perform_bounded(handle.get(), body);
  if (result.code != CURLE_OK) {
    // Both the listing and the creation may meet the same certificate: each
    // TLS verdict says which endpoint it is about.
    out << ("Error: "
            + (result.tls == TlsVerdict::none ? "" : endpoint + ": ")
            + result.error + "\n");
    return std::nullopt;
  }
  try {
    return nlohmann::json::parse(body);
  } catch (const nlohmann::json::exception&) {
    // The parser's own words ("parse error at line 1, column 1") tell the
    // operator nothing; what came back does.
    long status = 0;
    curl_easy_getinfo(handle.get(), CURLINFO_RESPONSE_CODE, &status);
    const char* type = nullptr;
    curl_easy_getinfo(handle.get(), CURLINFO_CONTENT_TYPE, &type);
    throw ReplyError(endpoint, status, type == nullptr ? "" : type, body);
  }
}

} // namespace timeseries
