#include "timeseries/curl_handles.h"

#include "console/deadline.h"
#include "timeseries/tls_failure.h"

#include <array>
#include <optional>
#include <stdexcept>

namespace timeseries {
namespace {

struct BoundState {
  std::optional<console::TimeoutException> timeout;
};

// C calls this: no exception may cross it, so the time-out is kept and
// rethrown once curl_easy_perform has returned.
int on_progress(void* clientp, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto* state = static_cast<BoundState*>(clientp);
  try {
    console::deadline::wait_ms(-1);
  } catch (const console::TimeoutException& e) {
    state->timeout = e;
    return 1;
  }
  return 0;
}

size_t on_body(char* data, size_t size, size_t count, void* userdata) {
  auto* body = static_cast<std::string*>(userdata);
  try {
    body->append(data, size * count);
  } catch (...) {
    return 0; // libcurl then ends the transfer with CURLE_WRITE_ERROR
  }
  return size * count;
}

} // namespace

CurlGlobal::CurlGlobal() {
  if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
    throw std::runtime_error("curl_global_init failed");
  }
}

CurlGlobal::~CurlGlobal() {
  curl_global_cleanup();
}

CurlEasy make_easy() {
  CurlEasy handle(curl_easy_init());
  if (!handle) {
    throw std::runtime_error("curl_easy_init failed");
  }
  // The run keeps its own time bound; libcurl must not raise SIGALRM or
  // touch the process's signal handlers for its own time-outs.
  curl_easy_setopt(handle.get(), CURLOPT_NOSIGNAL, 1L);
  return handle;
}

void append_header(CurlSlist& list, const char* line) {
  curl_slist* longer = curl_slist_append(list.get(), line);
  if (longer == nullptr) {
    throw std::runtime_error("curl_slist_append failed");
  }
  (void)list.release(); // the longer list now owns the old nodes
  list.reset(longer);
}

TransferResult perform_bounded(CURL* handle, std::string& body) {
  console::deadline::check();
  BoundState state;
  std::array<char, CURL_ERROR_SIZE> detail{};
  curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, detail.data());
  curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, &on_progress);
  curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &state);
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &on_body);
  curl_easy_setopt(handle, CURLOPT_WRITEDATA, &body);
  const CURLcode code = curl_easy_perform(handle);
  // The buffer dies with this frame; libcurl must not write to it later.
  curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, nullptr);
  curl_easy_setopt(handle, CURLOPT_XFERINFODATA, nullptr);
  curl_easy_setopt(handle, CURLOPT_WRITEDATA, nullptr);
  if (state.timeout) {
    throw *state.timeout;
  }
  if (code == CURLE_OPERATION_TIMEDOUT) {
    // A time-out set from what was left of the run's bound is the bound.
    console::deadline::check();
  }
  TransferResult result;
  result.code = code;
  if (code != CURLE_OK) {
    long verify_result = 0;
    curl_easy_getinfo(handle, CURLINFO_SSL_VERIFYRESULT, &verify_result);
    const std::string text =
        detail[0] != '\0' ? std::string(detail.data()) : curl_easy_strerror(code);
    result.tls = tls_verdict(code, verify_result, text);
    result.error = transfer_failure_text(result.tls, text);
  }
  return result;
}

} // namespace timeseries
