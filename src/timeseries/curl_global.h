#pragma once

namespace timeseries {

/// Pairs curl_global_init with curl_global_cleanup for the whole process.
/// Make exactly one, in main, before any other thread exists. Throws
/// std::runtime_error when libcurl cannot initialise.
class CurlGlobal {
public:
  CurlGlobal();
  CurlGlobal(const CurlGlobal&) = delete;
  CurlGlobal& operator=(const CurlGlobal&) = delete;
  ~CurlGlobal();
};

} // namespace timeseries
