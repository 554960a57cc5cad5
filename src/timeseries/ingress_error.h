#pragma once

#include <stdexcept>

namespace timeseries {

/// The one error the ingestion client reports for its own failures: a bad
/// configuration text, a bad table or column name, a connection that fails,
/// credentials refused, rows refused at the flush. what() is the message only.
class IngressError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

} // namespace timeseries
