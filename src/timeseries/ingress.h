#pragma once

#include "timeseries/ingress_error.h"
#include "timeseries/line_protocol.h"
#include "timeseries/store_access.h"

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace timeseries {

/// A row's designated time: nanoseconds since the Unix epoch.
struct TimestampNanos {
  std::int64_t value = 0;
  /// The system clock now, to the nanosecond.
  static TimestampNanos now();
};

/// The IngressError message for a flush the store refused with HTTP `status`
/// and reply `body`: "Could not flush buffer: " then, for 404, that the
/// endpoint does not support ILP; for 401 and 403, the authentication error
/// with the body and the code; for a JSON error body, its message, id, code
/// and line; otherwise what came back, as reply_summary words it for
/// `endpoint` and the reply's `content_type`.
std::string refusal_message(long status,
                            const std::string& body,
                            std::string_view endpoint,
                            std::string_view content_type);

/// Line protocol (version 1) over HTTP to the store's /write endpoint.
/// Rows are buffered and sent by flush(), and on their own every 75,000 rows
/// unless the configuration turns that off. Move-only; closing or destroying
/// it drops rows not yet flushed.
class Sender {
public:
  /// A sender from a configuration text `http::addr=host[:port];key=value;...`
  /// or `https::...` (";;" stands for ';' in a value). Keys: addr (port 9000
  /// when left out), username and password (both or neither), token,
  /// tls_roots (https: a PEM file of trusted CAs instead of the system's),
  /// tls_verify (on only: the certificate and its name are always checked,
  /// over TLS 1.2 or later), request_timeout,
  /// request_min_throughput and retry_timeout (milliseconds, bytes per
  /// second), auto_flush (on/off), auto_flush_rows, max_buf_size,
  /// protocol_version (1 or auto); other keys are ignored. Connects to
  /// nothing. Throws IngressError for a malformed text, a service other than
  /// http, a missing addr or a bad value.
  static Sender from_conf(std::string_view conf);
  /// As from_conf(conf), with access's user and password or token in place
  /// of the text's, which must then name none; access's fixed pair means
  /// the text's credentials. access's TLS settings play no part: the text's
  /// do. The secrets are copied into libcurl's handle only.
  static Sender from_conf(std::string_view conf, const StoreAccess& access);

  Sender(Sender&&) noexcept;
  Sender& operator=(Sender&&) noexcept;
  ~Sender();

  /// Buffers one row of table with the columns in order (absent values left
  /// out) and designated time at. Throws IngressError for a bad name or time,
  /// on a closed sender, or when an automatic flush fails.
  void row(std::string_view table,
           std::span<const Column> columns,
           TimestampNanos at);

  /// Sends every buffered row in one POST and returns once the store has
  /// answered 2xx; with nothing buffered, sends nothing. 5xx replies and
  /// transport errors are retried for up to retry_timeout. Throws
  /// IngressError ("Could not flush buffer: ...") on failure, leaving the rows
  /// buffered, and console::TimeoutException when the run's bound passes.
  void flush();

  /// Rows buffered and not yet sent.
  std::size_t pending_rows() const;

  /// Drops unsent rows and the connection; later calls throw IngressError.
  void close() noexcept;

private:
  struct Impl;
  explicit Sender(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> m_impl;
};

} // namespace timeseries
