#include "monitoring/zabbix_sender.h"

#include "transport/connection.h"
#include "transport/tls_context.h"
#include "transport/transport_error.h"

#include <string>

namespace monitoring {
namespace {

using transport::Connection;
using transport::StepDeadline;
using transport::TransportError;

ServerAnswer exchange(Connection& connection,
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

std::string nodes_text(const std::vector<ZabbixServer>& nodes) {
  std::string text;
  for (const auto& node : nodes) {
    text += (text.empty() ? "" : ";") + server_text(node);
  }
  return text;
}

} // namespace

ZabbixSender::ZabbixSender(std::vector<ZabbixServer> nodes,
                           SenderOptions options)
    : m_nodes(std::move(nodes)), m_options(std::move(options)),
      m_resolved(m_nodes.size()) {
  if (m_nodes.empty()) {
    throw ZabbixError("nenhum servidor Zabbix");
  }
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

const transport::Resolved& ZabbixSender::resolved(std::size_t node) const {
  auto& slot = m_resolved[node];
  if (!slot) {
    slot = transport::Resolved::resolve(m_nodes[node].host, m_nodes[node].port);
  }
  return *slot;
}

ServerAnswer ZabbixSender::send(Request& request) const {
  // Every node that could not be reached, with its reason, in the order
  // tried.
  std::string unreachable;
  for (std::size_t i = 0; i < m_nodes.size(); ++i) {
    const std::size_t node = (m_current + i) % m_nodes.size();
    const std::string server = server_text(m_nodes[node]);
    try {
      Connection connection =
          Connection::open(resolved(node), m_options.timeouts.connect);
      m_current = node;
      return exchange(connection, m_options.timeouts, m_tls.get(), request);
    } catch (const TransportError& e) {
      if (m_nodes.size() == 1 || !e.before_connection()) {
        throw ZabbixError(server, request.label(), e.what());
      }
      unreachable +=
          (unreachable.empty() ? "" : "; ") + server + ": " + e.what();
    } catch (const ZabbixError& e) {
      // The reply's own failures carry their reason alone; the message
      // names the exchange once, here, so a failed run says which of its
      // requests broke.
      throw ZabbixError(server, request.label(), e.reason());
    }
  }
  throw ZabbixError(nodes_text(m_nodes),
                    request.label(),
                    "nenhum nó aceitou a conexão: " + unreachable);
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
