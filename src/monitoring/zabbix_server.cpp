#include "monitoring/zabbix_server.h"

#include "monitoring/zabbix_error.h"

#include <array>
#include <charconv>
#include <string>

namespace monitoring {
namespace {

[[noreturn]] void reject(std::string_view text, const std::string& reason) {
  throw ZabbixError("endereço do servidor Zabbix \"" + std::string(text)
                    + "\": " + reason);
}

std::uint16_t parse_port(std::string_view text, std::string_view port) {
  if (port.empty()) {
    reject(text, "porta vazia");
  }
  // from_chars alone would accept a leading '-' for signed types and stop
  // at the first non-digit; only plain decimal digits are a port here.
  for (const char c : port) {
    if (c < '0' || c > '9') {
      reject(text, "porta inválida \"" + std::string(port) + "\"");
    }
  }
  unsigned long value = 0;
  const auto [end, ec] =
      std::from_chars(port.data(), port.data() + port.size(), value);
  if (ec != std::errc{} || end != port.data() + port.size() || value == 0
      || value > 65535) {
    reject(text,
           "porta fora do intervalo 1 a 65535: \"" + std::string(port) + "\"");
  }
  return static_cast<std::uint16_t>(value);
}

} // namespace

ZabbixServer parse_zabbix_server(std::string_view text) {
  if (text.empty()) {
    reject(text, "endereço vazio");
  }
  ZabbixServer server;
  std::string_view rest;
  if (text.front() == '[') {
    const auto close = text.find(']');
    if (close == std::string_view::npos) {
      reject(text, "colchete '[' sem ']'");
    }
    const auto host = text.substr(1, close - 1);
    if (host.empty()) {
      reject(text, "host vazio");
    }
    if (host.find_first_of("[]") != std::string_view::npos) {
      reject(text, "colchetes desbalanceados");
    }
    server.host = std::string(host);
    rest = text.substr(close + 1);
    if (!rest.empty() && rest.front() != ':') {
      reject(text, "texto inesperado após ']'");
    }
  } else {
    if (text.find_first_of("[]") != std::string_view::npos) {
      reject(text, "colchetes desbalanceados");
    }
    const auto colon = text.find(':');
    if (colon != std::string_view::npos
        && text.find(':', colon + 1) != std::string_view::npos) {
      reject(text, "endereço IPv6 deve vir entre colchetes, como [::1]:10051");
    }
    const auto host = text.substr(0, colon);
    if (host.empty()) {
      reject(text, "host vazio");
    }
    server.host = std::string(host);
    rest = colon == std::string_view::npos ? std::string_view{}
                                           : text.substr(colon);
  }
  if (!rest.empty()) {
    server.port = parse_port(text, rest.substr(1));
  }
  return server;
}

std::vector<ZabbixServer> parse_zabbix_nodes(std::string_view text) {
  if (text.find(',') != std::string_view::npos) {
    // zabbix_sender's ',' sends every value to each group of servers; the
    // collector publishes to one server or one cluster.
    reject(text,
           "',' separaria grupos de servidores, o que não é suportado; os "
           "nós de um cluster se separam por ';'");
  }
  std::vector<ZabbixServer> nodes;
  std::string_view rest = text;
  for (;;) {
    const auto semicolon = rest.find(';');
    const auto node = rest.substr(0, semicolon);
    if (node.empty() && text.find(';') != std::string_view::npos) {
      reject(text, "nó vazio na lista (os nós se separam por um ';')");
    }
    if (nodes.size() == k_max_nodes) {
      reject(text, "mais de 16 nós");
    }
    nodes.push_back(parse_zabbix_server(node));
    if (semicolon == std::string_view::npos) {
      return nodes;
    }
    rest.remove_prefix(semicolon + 1);
  }
}

std::string server_text(const ZabbixServer& server) {
  std::string out;
  if (server.host.find(':') != std::string::npos) {
    out = "[" + server.host + "]";
  } else {
    out = server.host;
  }
  std::array<char, 8> buf{};
  const auto [end, ec] =
      std::to_chars(buf.data(), buf.data() + buf.size(), server.port);
  out.push_back(':');
  out.append(buf.data(), end);
  return out;
}

} // namespace monitoring
