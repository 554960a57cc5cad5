#pragma once

#include "billing/records.h"
#include "console/value.h"

#include <span>
#include <string>
#include <string_view>

namespace monitoring {

/// Builds the low-level discovery document {"data": [...]} one form at a time,
/// so that a caller never needs every form at once: one line, ", " and ": "
/// separators, members in entry order, pure ASCII (every character outside
/// U+0020..U+007E escaped). The one builder of the document, whoever asks.
class DiscoveryDocument {
public:
  DiscoveryDocument();

  /// Appends one form as a JSON object, members in entry order.
  void add(const console::Record& form);

  /// The finished document; the builder is left empty. Never throws except
  /// std::bad_alloc.
  std::string finish();

private:
  std::string m_text;
  bool m_first = true;
};

/// A client's discovery form, the document's entry for it: six entries
/// ({#CLIENTE_ID}, {#RAZAOSOCIAL}, {#CPF_CNPJ}, {#VALOR_DIVIDA},
/// {#TITULOS_EM_ATRASO}, {#CONTATO}), contact "N/A" when there is none.
console::Record discovery_form(const billing::Client& client);

/// The document of the given forms, in list order.
std::string discovery_document(std::span<const console::Record> discovery);

/// Appends utf8 to out as a quoted JSON string with the same escaping as the
/// discovery document; invalid UTF-8 bytes become \ufffd each.
void append_json_string(std::string& out, std::string_view utf8);

} // namespace monitoring
