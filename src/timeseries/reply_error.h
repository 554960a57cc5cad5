#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace timeseries {

/// One line saying what an endpoint answered instead of JSON, as an operator
/// reads it: "<endpoint> answered HTTP <status> <media type>: <text>", where
/// the text is the start of the body (an HTML page's title, or its text
/// without tags; the status number that starts a title dropped), blanks and
/// control characters run together into one space, at most 160 bytes and
/// then "…".
std::string reply_summary(std::string_view endpoint,
                          long status,
                          std::string_view content_type,
                          std::string_view body);

/// A reply that had to be JSON and was not; what() is reply_summary.
class ReplyError : public std::runtime_error {
public:
  ReplyError(std::string endpoint,
             long status,
             std::string content_type,
             std::string_view body)
      : std::runtime_error(reply_summary(endpoint, status, content_type, body)),
        m_endpoint(std::move(endpoint)), m_status(status),
        m_content_type(std::move(content_type)) {}
  /// The URL without its query.
  const std::string& endpoint() const { return m_endpoint; }
  /// The HTTP status.
  long status() const { return m_status; }
  /// The Content-Type header as sent; empty when there was none.
  const std::string& content_type() const { return m_content_type; }

private:
  std::string m_endpoint;
  long m_status;
  std::string m_content_type;
};

} // namespace timeseries
