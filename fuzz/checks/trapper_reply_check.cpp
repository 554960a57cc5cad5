#include "checks/checks.h"
#include "monitoring/sender_protocol.h"
#include "monitoring/zabbix_error.h"

#include <cstring>
#include <nlohmann/json.hpp>
#include <string_view>

namespace fuzz_checks {
namespace {

std::uint32_t u32le(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0])
         | (static_cast<std::uint32_t>(p[1]) << 8U)
         | (static_cast<std::uint32_t>(p[2]) << 16U)
         | (static_cast<std::uint32_t>(p[3]) << 24U);
}

// The trapper protocol's rules for an acceptable answer, from the protocol
// notes: "ZBXD", flags exactly 0x01, a length no larger than the sender
// takes, that many bytes of a JSON object whose "response" is "success".
bool acceptable_reply(std::string_view bytes) {
  const auto* data =
      static_cast<const std::uint8_t*>(static_cast<const void*>(bytes.data()));
  if (bytes.size() < 13 || std::memcmp(data, "ZBXD", 4) != 0
      || data[4] != 0x01) {
    return false;
  }
  const std::uint32_t length = u32le(data + 5);
  if (length > monitoring::k_max_reply_size || bytes.size() - 13 < length) {
    return false;
  }
  const auto answer =
      nlohmann::json::parse(bytes.substr(13, length), nullptr, false);
  if (!answer.is_object()) {
    return false;
  }
  const auto response = answer.find("response");
  return response != answer.end() && response->is_string()
         && response->get<std::string>() == "success";
}

} // namespace

int check_trapper_reply(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(
      static_cast<const char*>(static_cast<const void*>(data)), size);
  const bool acceptable = acceptable_reply(bytes);
  try {
    monitoring::parse_reply(bytes);
  } catch (const monitoring::ZabbixError& e) {
    require(!acceptable, "a success answer refused: " + e.reason());
    require(!e.reason().empty() && e.server().empty(),
            std::string("a reply's failure gives no reason of its own: ")
                + e.what());
    return 0;
  } catch (const std::exception& e) {
    throw CheckFailure(std::string("not a ZabbixError: ") + e.what());
  }
  require(acceptable, "a reply accepted that is no framed success answer");
  return 0;
}

} // namespace fuzz_checks
