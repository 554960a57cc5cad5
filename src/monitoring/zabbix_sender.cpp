#include "monitoring/zabbix_sender.h"

#include "monitoring/connection.h"
#include "monitoring/tls_context.h"

#include <array>
#include <string>

namespace monitoring {
namespace {

ServerAnswer exchange(const ZabbixServer& server,
                      const SenderTimeouts& timeouts,
                      const TlsContext* tls,
                      Request& request) {
  const std::string_view frame = request.frame();
  Connection connection = Connection::open(server, timeouts.connect);
  // The handshake shares the reply's time-out: a peer that takes the
  // connection and never answers it is cut like a silent trapper.
  const auto deadline = StepDeadline::from_now(timeouts.reply);
  if (tls != nullptr) {
    connection.start_tls(*tls, deadline);
  }
  connection.write_all(frame, deadline);
  std::array<unsigned char, k_header_size> header{};
  const std::size_t got = connection.read_up_to(header, deadline);
  const std::uint32_t length = reply_length({header.data(), got});
  std::string payload(length, '\0');
  // std::string's bytes are char; the socket only needs their address.
  auto* bytes = static_cast<unsigned char*>(static_cast<void*>(payload.data()));
  require_whole_payload(
      connection.read_up_to({bytes, payload.size()}, deadline), length);
  return read_answer(payload);
}

} // namespace

ZabbixSender::ZabbixSender(ZabbixServer server, SenderOptions options)
    : m_server(std::move(server)), m_options(std::move(options)) {
  if (m_options.tls.connect != TlsConnect::unencrypted) {
    m_tls = std::make_unique<const TlsContext>(std::move(m_options.tls));
  }
}

ZabbixSender::~ZabbixSender() = default;

ServerAnswer ZabbixSender::send(Request& request) const {
  try {
    return exchange(m_server, m_options.timeouts, m_tls.get(), request);
  } catch (const ZabbixError& e) {
    // Every step throws its reason alone; the message names the exchange
    // once, here, so a failed run says which of its requests broke.
    throw ZabbixError(server_text(m_server), request.label(), e.reason());
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
