#include "settings/reader.h"

#include "transport/transport_error.h"

#include <algorithm>

namespace settings {
namespace {

bool is_control(char c) {
  return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
}

} // namespace

std::optional<std::string> Reader::find(std::string_view name) const {
  const auto it = m_environment.find(name);
  if (it == m_environment.end()) {
    return std::nullopt;
  }
  if (it->second.empty()) {
    reject(name, it->second, "vazia");
  }
  return it->second;
}

std::string Reader::require(std::string_view name,
                            std::string_view needed_by) const {
  auto value = find(name);
  if (!value) {
    m_refuse(std::string(name),
             std::string(name) + " é obrigatória com " + std::string(needed_by));
  }
  return *value;
}

void Reader::refuse_set(std::span<const std::string_view> names,
                        std::string_view mode,
                        std::string_view why) const {
  for (const auto name : names) {
    if (m_environment.find(name) != m_environment.end()) {
      m_refuse(std::string(name),
               std::string(name) + " não se aplica a " + std::string(mode)
                   + (why.empty() ? "" : ": " + std::string(why)));
    }
  }
}

void Reader::reject(std::string_view name,
                    std::string_view value,
                    const std::string& reason) const {
  m_refuse(std::string(name),
           std::string(name) + "=\"" + std::string(value) + "\": " + reason);
  // A Refusal must throw; should one return, the run must still not go on.
  throw std::logic_error("settings refusal returned");
}

transport::SecretBytes Reader::secret_line(std::string_view name,
                                           const std::string& path) const {
  transport::SecretBytes bytes;
  try {
    bytes = transport::read_secret_file(path, k_max_secret_file);
  } catch (const transport::TransportError& e) {
    reject(name, path, e.what());
  }
  std::string_view line = bytes.view();
  line = line.substr(0, line.find('\n'));
  if (line.ends_with('\r')) {
    line.remove_suffix(1);
  }
  if (line.empty()) {
    reject(name, path, "arquivo vazio");
  }
  if (std::any_of(line.begin(), line.end(), is_control)) {
    // A NUL or control character inside would end a header early or start
    // another one.
    reject(name, path, "a primeira linha do arquivo tem caracteres de controle");
  }
  // Kept in the file's own buffer: the rest is wiped, nothing is copied.
  bytes.truncate(line.size());
  return bytes;
}

void Reader::require_readable(std::string_view name,
                              const std::string& path) const {
  try {
    transport::require_readable(path);
  } catch (const transport::TransportError& e) {
    reject(name, path, e.what());
  }
}

} // namespace settings
