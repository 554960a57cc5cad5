#include "monitoring/discovery_document.h"

#include "console/text_form.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <optional>
#include <variant>

namespace monitoring {
namespace {

constexpr char32_t k_replacement = 0xFFFD;

void append_unit_escape(std::string& out, std::uint32_t unit) {
  constexpr std::string_view digits = "0123456789abcdef";
  out += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) {
    out.push_back(digits[(unit >> static_cast<unsigned>(shift)) & 0xFU]);
  }
}

void append_code_point_escape(std::string& out, char32_t cp) {
  if (cp > 0xFFFF) {
    const auto v = static_cast<std::uint32_t>(cp) - 0x10000U;
    append_unit_escape(out, 0xD800U + (v >> 10U));
    append_unit_escape(out, 0xDC00U + (v & 0x3FFU));
    return;
  }
  append_unit_escape(out, static_cast<std::uint32_t>(cp));
}

struct Decoded {
  char32_t code_point;
  std::size_t length;
};

// Decodes one well-formed UTF-8 sequence at the start of text (text not
// empty, first byte >= 0x80). Overlong forms, surrogates, values above
// U+10FFFF and truncated sequences are not well-formed.
std::optional<Decoded> decode_multibyte(std::string_view text) {
  const auto lead = static_cast<unsigned char>(text[0]);
  std::size_t length = 0;
  char32_t cp = 0;
  char32_t min = 0;
  if ((lead & 0xE0U) == 0xC0U) {
    length = 2;
    cp = lead & 0x1FU;
    min = 0x80;
  } else if ((lead & 0xF0U) == 0xE0U) {
    length = 3;
    cp = lead & 0x0FU;
    min = 0x800;
  } else if ((lead & 0xF8U) == 0xF0U) {
    length = 4;
    cp = lead & 0x07U;
    min = 0x10000;
  } else {
    return std::nullopt;
  }
  if (text.size() < length) {
    return std::nullopt;
  }
  for (std::size_t i = 1; i < length; ++i) {
    const auto b = static_cast<unsigned char>(text[i]);
    if ((b & 0xC0U) != 0x80U) {
      return std::nullopt;
    }
    cp = (cp << 6U) | (b & 0x3FU);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    return std::nullopt;
  }
  return Decoded{cp, length};
}

void append_integer(std::string& out, std::int64_t value) {
  std::array<char, 24> buf{};
  auto [end, ec] = std::to_chars(buf.data(), buf.data() + buf.size(), value);
  out.append(buf.data(), end);
}

void append_json_value(std::string& out, const console::Value& value) {
  struct Visitor {
    std::string& out;
    void operator()(console::Null) const { out += "null"; }
    void operator()(std::int64_t v) const { append_integer(out, v); }
    void operator()(double v) const {
      // JSON has no nan or infinity; null keeps the document parseable and
      // is what the server makes of a missing value anyway.
      if (!std::isfinite(v)) {
        out += "null";
        return;
      }
      out += console::float_text(v);
    }
    void operator()(const std::string& v) const { append_json_string(out, v); }
    void operator()(const console::Date& v) const {
      append_json_string(out, console::text_form(v));
    }
    void operator()(const console::DateTime& v) const {
      append_json_string(out, console::text_form(v));
    }
  };
  std::visit(Visitor{out}, value);
}

} // namespace

void append_json_string(std::string& out, std::string_view utf8) {
  out.push_back('"');
  std::size_t i = 0;
  while (i < utf8.size()) {
    const char c = utf8[i];
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x80U) {
      const auto decoded = decode_multibyte(utf8.substr(i));
      if (decoded) {
        append_code_point_escape(out, decoded->code_point);
        i += decoded->length;
      } else {
        // The document must stay valid JSON (and valid UTF-16 once
        // unescaped), so a byte that starts no well-formed sequence is
        // replaced, one replacement character per byte.
        append_code_point_escape(out, k_replacement);
        ++i;
      }
      continue;
    }
    switch (c) {
    case '"':
      out += "\\\"";
      break;
    case '\\':
      out += "\\\\";
      break;
    case '\n':
      out += "\\n";
      break;
    case '\r':
      out += "\\r";
      break;
    case '\t':
      out += "\\t";
      break;
    case '\b':
      out += "\\b";
      break;
    case '\f':
      out += "\\f";
      break;
    default:
      if (byte < 0x20U || byte == 0x7FU) {
        append_unit_escape(out, byte);
      } else {
        out.push_back(c);
      }
    }
    ++i;
  }
  out.push_back('"');
}

DiscoveryDocument::DiscoveryDocument() : m_text("{\"data\": [") {}

void DiscoveryDocument::add(const console::Record& form) {
  if (!m_first) {
    m_text += ", ";
  }
  m_first = false;
  m_text.push_back('{');
  bool first_entry = true;
  for (const auto& entry : form) {
    if (!first_entry) {
      m_text += ", ";
    }
    first_entry = false;
    append_json_string(m_text, entry.key);
    m_text += ": ";
    append_json_value(m_text, entry.value);
  }
  m_text.push_back('}');
}

std::string DiscoveryDocument::finish() {
  m_text += "]}";
  std::string done = std::move(m_text);
  m_text = "{\"data\": [";
  m_first = true;
  return done;
}

std::string discovery_document(std::span<const console::Record> discovery) {
  DiscoveryDocument document;
  for (const auto& form : discovery) {
    document.add(form);
  }
  return document.finish();
}

console::Record discovery_form(const billing::Client& client) {
  console::Value contato = client.contato;
  if (std::holds_alternative<console::Null>(contato)) {
    contato = std::string("N/A");
  }
  return {
      {"{#CLIENTE_ID}", client.id},
      {"{#RAZAOSOCIAL}", client.razao_social},
      {"{#CPF_CNPJ}", client.cpf_cnpj},
      {"{#VALOR_DIVIDA}", client.valor_divida},
      {"{#TITULOS_EM_ATRASO}", client.titulos_em_atraso},
      {"{#CONTATO}", std::move(contato)},
  };
}

} // namespace monitoring
