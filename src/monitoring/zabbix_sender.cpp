#include "monitoring/zabbix_sender.h"

#include "transport/connection.h"
#include "transport/tls_context.h"
#include "transport/transport_error.h"

#include <string>
#include <variant>

namespace monitoring {
namespace {

using transport::Connection;
using transport::StepDeadline;
using transport::TransportError;

TrapperReply exchange(Connection& connection,
                      const SenderTimeouts& timeouts,
                      const transport::TlsContext* tls,
                      Request& request) {
  const std::string_view frame = request.frame();
  // The handshake shares the reply's time-out: a peer that takes the
  // connection and never answers it is cut like a silent trapper.
  const auto deadline = StepDeadline::from_now(timeouts.reply);
  if (tls != nullptr) {
    connection.start_tls(*tls, deadline);
  }
  connection.write_all(frame, deadline);
  return read_reply([&](std::span<unsigned char> out) {
    return connection.read_up_to(out, deadline);
  });
}

// The TLS files' paths, kept for messages: the credentials themselves move
// into the context.
struct TlsFiles {
  std::string ca_file;
  std::string crl_file;
  std::string cert_file;
  std::string key_file;
};

// The variable that names each TLS file, for a file the context refused.
std::string tls_setting_error(const TransportError& e, const TlsFiles& tls) {
  using transport::Step;
  const auto quoted = [&](const char* variable, const std::string& path) {
    return std::string(variable) + "=\"" + path + "\": " + e.what();
  };
  switch (e.step()) {
  case Step::ca_file:
    return quoted("ZABBIX_TLS_CA_FILE", tls.ca_file);
  case Step::crl_file:
    return quoted("ZABBIX_TLS_CRL_FILE", tls.crl_file);
  case Step::cert_file:
    return quoted("ZABBIX_TLS_CERT_FILE", tls.cert_file);
  case Step::key_file:
    return quoted("ZABBIX_TLS_KEY_FILE", tls.key_file);
  case Step::key_pair:
    return "ZABBIX_TLS_KEY_FILE=\"" + tls.key_file + "\": " + e.what()
           + " de ZABBIX_TLS_CERT_FILE";
  default:
    return e.what();
  }
}

} // namespace

ZabbixSender::ZabbixSender(std::vector<ZabbixServer> nodes,
                           SenderOptions options)
    : m_options(std::move(options)), m_route(std::move(nodes)) {
  if (m_options.tls) {
    auto& tls = *m_options.tls;
    const TlsFiles files{
        tls.ca_file, tls.crl_file, tls.cert_file, tls.key_file};
    try {
      // The key moves into the context, which holds its only copy.
      m_tls = std::make_unique<const transport::TlsContext>(std::move(tls));
    } catch (const TransportError& e) {
      throw ZabbixError(tls_setting_error(e, files));
    }
    m_options.tls.reset();
  }
}

ZabbixSender::ZabbixSender(ZabbixServer server, SenderOptions options)
    : ZabbixSender(std::vector<ZabbixServer>{std::move(server)},
                   std::move(options)) {}

ZabbixSender::~ZabbixSender() = default;

ServerAnswer ZabbixSender::send(Request& request) const {
  Route::Attempt attempt = m_route.attempt(request.label());
  for (;;) {
    const Hop hop = attempt.next();
    TrapperReply reply;
    try {
      Connection connection =
          Connection::open(*hop.resolved, m_options.timeouts.connect);
      attempt.connected(hop);
      reply = exchange(connection, m_options.timeouts, m_tls.get(), request);
    } catch (const TransportError& e) {
      if (!e.before_connection()) {
        throw ZabbixError(server_text(hop.server), request.label(), e.what());
      }
      // Nothing was written: the request may still go elsewhere.
      attempt.unreachable(hop, e.what());
      continue;
    } catch (const ZabbixError& e) {
      // The reply's own failures carry their reason alone; the message
      // names the exchange once, here, so a failed run says which of its
      // requests broke.
      throw ZabbixError(server_text(hop.server), request.label(), e.reason());
    }
    if (const auto* answer = std::get_if<ServerAnswer>(&reply)) {
      return *answer;
    }
    // Not processed: the same request goes where the redirect says.
    attempt.redirected(hop, std::get<Redirect>(reply));
  }
}

ServerAnswer send_zabbix(const ZabbixServer& server,
                         std::string_view host,
                         std::string_view key,
                         std::string_view value,
                         const SenderTimeouts& timeouts) {
  Request request(host);
  request.add(key, value);
  return ZabbixSender(server, SenderOptions{timeouts, 1, {}}).send(request);
}

} // namespace monitoring
