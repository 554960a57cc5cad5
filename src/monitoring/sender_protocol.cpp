#include "monitoring/sender_protocol.h"

#include "monitoring/discovery_document.h"
#include "monitoring/zabbix_error.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <climits>
#include <cstring>
#include <nlohmann/json.hpp>

namespace monitoring {
namespace {

constexpr std::string_view k_magic = "ZBXD";
constexpr unsigned char k_flag_protocol = 0x01;
constexpr unsigned char k_flag_compressed = 0x02;
constexpr std::string_view k_request_open =
    R"({"request":"sender data","data":[)";

void append_u32le(std::string& out, std::uint32_t v) {
  for (unsigned shift = 0; shift < 32; shift += 8) {
    out.push_back(static_cast<char>((v >> shift) & 0xFFU));
  }
}

std::uint32_t read_u32le(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0])
         | (static_cast<std::uint32_t>(p[1]) << 8U)
         | (static_cast<std::uint32_t>(p[2]) << 16U)
         | (static_cast<std::uint32_t>(p[3]) << 24U);
}

std::string size_text(std::uint64_t n) {
  std::array<char, 24> buf{};
  const auto [end, ec] = std::to_chars(buf.data(), buf.data() + buf.size(), n);
  return std::string(buf.data(), end);
}

// Reads "<label>: <digits>" at the front of text and drops it from text.
std::optional<std::uint64_t> take_count(std::string_view& text,
                                        std::string_view label) {
  if (!text.starts_with(label)
      || !text.substr(label.size()).starts_with(": ")) {
    return std::nullopt;
  }
  text.remove_prefix(label.size() + 2);
  std::uint64_t value = 0;
  const auto [end, ec] =
      std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc{} || end == text.data()) {
    return std::nullopt;
  }
  text.remove_prefix(static_cast<std::size_t>(end - text.data()));
  return value;
}

bool take(std::string_view& text, std::string_view literal) {
  if (!text.starts_with(literal)) {
    return false;
  }
  text.remove_prefix(literal.size());
  return true;
}

// Zabbix writes the revision as a number; its own reader takes the member's
// text, so digits in a string are the same revision.
std::optional<std::uint64_t> revision_of(const nlohmann::json& value) {
  if (value.is_number_unsigned()) {
    return value.get<std::uint64_t>();
  }
  if (value.is_string()) {
    std::string_view text = value.get_ref<const std::string&>();
    std::uint64_t revision = 0;
    const auto [end, ec] =
        std::from_chars(text.data(), text.data() + text.size(), revision);
    if (ec == std::errc{} && !text.empty() && end == text.data() + text.size()) {
      return revision;
    }
  }
  return std::nullopt;
}

// A redirect names where the request must go; one that cannot be followed
// is refused here, before anything is sent anywhere else.
Redirect read_redirect(const nlohmann::json& redirect) {
  if (!redirect.is_object()) {
    throw ZabbixError("redirecionamento malformado: \"redirect\" não é um "
                      "objeto");
  }
  const auto reset = redirect.find("reset");
  if (reset != redirect.end()
      && (*reset == true || (reset->is_string() && *reset == "true"))) {
    return Redirect{{}, 0, true};
  }
  const auto revision = redirect.find("revision");
  const auto number =
      revision == redirect.end() ? std::nullopt : revision_of(*revision);
  if (!number) {
    throw ZabbixError("redirecionamento malformado: sem revisão (um inteiro "
                      "não negativo)");
  }
  const auto address = redirect.find("address");
  if (address == redirect.end() || !address->is_string()
      || address->get_ref<const std::string&>().empty()) {
    throw ZabbixError("redirecionamento sem endereço");
  }
  const auto& text = address->get_ref<const std::string&>();
  if (text.size() > k_max_redirect_address) {
    throw ZabbixError("redirecionamento com endereço longo demais ("
                      + size_text(text.size()) + " bytes, até "
                      + size_text(k_max_redirect_address) + ")");
  }
  ZabbixServer target;
  try {
    target = parse_zabbix_server(text);
  } catch (const ZabbixError& e) {
    throw ZabbixError("redirecionamento inutilizável: " + e.reason());
  }
  // A name or an address, nothing a resolver would take another way.
  const auto bad = std::find_if(target.host.begin(), target.host.end(), [](char c) {
    const bool alnum =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    return !(alnum || c == '.' || c == '-' || c == '_' || c == ':' || c == '%');
  });
  if (bad != target.host.end()) {
    throw ZabbixError("redirecionamento inutilizável: endereço \"" + text
                      + "\" com caractere inválido");
  }
  return Redirect{std::move(target), *number, false};
}

} // namespace

Request::Request(std::string_view host) {
  append_json_string(m_host_json, host);
  m_bytes.append(k_magic);
  m_bytes.push_back(static_cast<char>(k_flag_protocol));
  // The length is patched in by frame(), so a large discovery document is
  // held once, in the frame, not once more as a separate payload.
  append_u32le(m_bytes, 0);
  append_u32le(m_bytes, 0);
  m_bytes.append(k_request_open);
}

void Request::add(std::string_view key, std::string_view value) {
  if (m_framed) {
    throw std::logic_error("sender request already framed");
  }
  // Escaping grows a value by its quotes and backslashes, well under half
  // its size; reserving once keeps a large document from being copied as
  // the frame grows.
  m_bytes.reserve(m_bytes.size() + m_host_json.size() + key.size() + 8
                  + value.size() + value.size() / 2 + 32);
  if (m_values != 0) {
    m_bytes.push_back(',');
  }
  m_bytes += R"({"host":)";
  m_bytes += m_host_json;
  m_bytes += R"(,"key":)";
  append_json_string(m_bytes, key);
  m_bytes += R"(,"value":)";
  append_json_string(m_bytes, value);
  m_bytes.push_back('}');
  if (m_values == 0) {
    m_first_key = key;
  }
  m_last_key = key;
  ++m_values;
}

std::string Request::label() const {
  if (m_values == 1) {
    return "chave " + m_first_key;
  }
  return size_text(m_values) + " valores, chaves " + m_first_key + " … "
         + m_last_key;
}

std::string_view Request::frame() {
  if (!m_framed) {
    m_bytes += "]}";
    m_framed = true;
    const std::size_t payload = m_bytes.size() - k_header_size;
    if (payload > UINT32_MAX) {
      throw ZabbixError("pedido grande demais (" + size_text(payload)
                        + " bytes)");
    }
    std::string length;
    append_u32le(length, static_cast<std::uint32_t>(payload));
    m_bytes.replace(k_magic.size() + 1, length.size(), length);
  }
  return m_bytes;
}

std::uint32_t reply_length(std::span<const unsigned char> header) {
  if (header.empty()) {
    throw ZabbixError("conexão fechada sem resposta");
  }
  if (header.size() < k_header_size) {
    throw ZabbixError("cabeçalho curto na resposta (" + size_text(header.size())
                      + " de 13 bytes)");
  }
  if (std::memcmp(header.data(), k_magic.data(), k_magic.size()) != 0) {
    throw ZabbixError("resposta sem o cabeçalho ZBXD");
  }
  const unsigned char flags = header[4];
  if ((flags & k_flag_protocol) == 0) {
    throw ZabbixError("resposta sem a flag de protocolo 0x01");
  }
  if ((flags & k_flag_compressed) != 0) {
    throw ZabbixError("resposta comprimida (flag 0x02) não suportada");
  }
  if (flags != k_flag_protocol) {
    constexpr std::string_view hex = "0123456789abcdef";
    throw ZabbixError(std::string("flags da resposta não suportadas (0x")
                      + hex[flags >> 4U] + hex[flags & 0xFU] + ")");
  }
  const std::uint32_t length = read_u32le(header.data() + 5);
  if (length > k_max_reply_size) {
    throw ZabbixError("resposta grande demais (" + size_text(length)
                      + " bytes)");
  }
  return length;
}

void require_whole_payload(std::size_t arrived, std::uint32_t length) {
  if (arrived < length) {
    throw ZabbixError("resposta curta (" + size_text(arrived) + " de "
                      + size_text(length) + " bytes)");
  }
}

TrapperReply read_answer(std::string_view payload) {
  nlohmann::json answer;
  try {
    answer = nlohmann::json::parse(payload);
  } catch (const nlohmann::json::exception& e) {
    // Not only parse_error: a number beyond double's range (1e999) is
    // out_of_range, and it too is a malformed reply.
    throw ZabbixError(std::string("resposta malformada: ") + e.what());
  }
  if (!answer.is_object() || !answer.contains("response")
      || !answer["response"].is_string()) {
    throw ZabbixError("resposta malformada: sem o membro \"response\"");
  }
  std::string info;
  if (answer.contains("info") && answer["info"].is_string()) {
    info = answer["info"].get<std::string>();
  }
  const auto& response = answer["response"].get_ref<const std::string&>();
  if (response == "failed" && answer.contains("redirect")) {
    return read_redirect(answer["redirect"]);
  }
  if (response != "success") {
    throw ZabbixError("o servidor respondeu \"" + response + "\""
                      + (info.empty() ? "" : ": " + info));
  }
  // Values the server did not take (unknown host or key, an address outside
  // the items' allowed hosts, a host that requires encryption) are only
  // counted in "info"; the request itself succeeded.
  return ServerAnswer{parse_info(info)};
}

TrapperReply parse_reply(std::string_view bytes) {
  return read_reply([&bytes](std::span<unsigned char> out) {
    const std::size_t n = std::min(out.size(), bytes.size());
    if (n > 0) { // an empty view may have no address at all
      std::memcpy(out.data(), bytes.data(), n);
    }
    bytes.remove_prefix(n);
    return n;
  });
}

std::optional<ReplyCounts> parse_info(std::string_view info) {
  const auto processed = take_count(info, "processed");
  if (!processed || !take(info, "; ")) {
    return std::nullopt;
  }
  const auto failed = take_count(info, "failed");
  if (!failed || !take(info, "; ")) {
    return std::nullopt;
  }
  const auto total = take_count(info, "total");
  if (!total) {
    return std::nullopt;
  }
  return ReplyCounts{*processed, *failed, *total};
}

} // namespace monitoring
