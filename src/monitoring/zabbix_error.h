#pragma once

#include <stdexcept>
#include <string>

namespace monitoring {

/// A value could not be handed to the Zabbix server, or the sender's settings
/// (the server's address, an option) cannot be used. The message is in
/// Portuguese; a failed exchange reads "enviar ao Zabbix <server>
/// (<request>): <reason>".
class ZabbixError : public std::runtime_error {
public:
  /// A failure that names no exchange: a setting, or a step of an exchange
  /// that the sender has yet to place (then the message is the reason alone).
  explicit ZabbixError(const std::string& reason)
      : std::runtime_error(reason), m_reason(reason) {}

  /// A failed exchange with the server at `server` ("host:port") for the
  /// request that `request` names ("chave k", or "n valores, chaves a … b").
  ZabbixError(std::string server, std::string request, std::string reason)
      : std::runtime_error("enviar ao Zabbix " + server + " (" + request
                           + "): " + reason),
        m_server(std::move(server)), m_request(std::move(request)),
        m_reason(std::move(reason)) {}

  /// "host:port" of the server; empty when no exchange is named.
  const std::string& server() const { return m_server; }
  /// The request's label; empty when no exchange is named.
  const std::string& request() const { return m_request; }
  /// What went wrong, without the exchange's names.
  const std::string& reason() const { return m_reason; }

private:
  std::string m_server;
  std::string m_request;
  std::string m_reason;
};

} // namespace monitoring
