#include "monitoring/sender_settings.h"

#include <array>
#include <charconv>
#include <cstdlib>
#include <string_view>

namespace monitoring {
namespace {

constexpr std::string_view k_batch_size = "ZABBIX_BATCH_SIZE";

constexpr std::array<std::string_view, 1> k_variables{k_batch_size};

std::size_t parse_batch_size(const std::string& text) {
  // Plain decimal digits only: from_chars alone would stop at the first
  // other character and take "25x" as 25.
  std::size_t value = 0;
  const bool digits =
      !text.empty()
      && text.find_first_not_of("0123456789") == std::string::npos;
  const auto [end, ec] =
      std::from_chars(text.data(), text.data() + text.size(), value);
  if (!digits || ec != std::errc{} || value < 1 || value > k_max_batch_size) {
    throw ZabbixError(std::string(k_batch_size) + "=\"" + text
                      + "\": esperado um número inteiro de 1 a 10000 "
                        "(valores por pedido ao Zabbix)");
  }
  return value;
}

} // namespace

SenderEnvironment sender_environment() {
  SenderEnvironment found;
  for (const auto name : k_variables) {
    const char* value = std::getenv(std::string(name).c_str());
    if (value != nullptr) {
      found.emplace(name, value);
    }
  }
  return found;
}

SenderOptions sender_options(const SenderEnvironment& environment) {
  SenderOptions options;
  if (const auto it = environment.find(k_batch_size); it != environment.end()) {
    options.batch_size = parse_batch_size(it->second);
  }
  return options;
}

} // namespace monitoring
