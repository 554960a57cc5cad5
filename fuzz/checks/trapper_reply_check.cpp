#include "checks/checks.h"
#include "monitoring/sender_protocol.h"
#include "monitoring/zabbix_error.h"

#include <cstring>
#include <nlohmann/json.hpp>
#include <string_view>
#include <variant>

namespace fuzz_checks {
namespace {

std::uint32_t u32le(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0])
         | (static_cast<std::uint32_t>(p[1]) << 8U)
         | (static_cast<std::uint32_t>(p[2]) << 16U)
         | (static_cast<std::uint32_t>(p[3]) << 24U);
}

// What a reply may be taken as, by the trapper protocol's rules from the
// protocol notes: "ZBXD", flags exactly 0x01, a length no larger than the
// sender takes, that many bytes of a JSON object whose "response" is
// "success" (an answer), or "failed" with a "redirect" member (a redirect,
// unless its address or revision cannot be used).
enum class Kind { refused, answer, maybe_redirect };

Kind reply_kind(std::string_view bytes) {
  const auto* data =
      static_cast<const std::uint8_t*>(static_cast<const void*>(bytes.data()));
  if (bytes.size() < 13 || std::memcmp(data, "ZBXD", 4) != 0
      || data[4] != 0x01) {
    return Kind::refused;
  }
  const std::uint32_t length = u32le(data + 5);
  if (length > monitoring::k_max_reply_size || bytes.size() - 13 < length) {
    return Kind::refused;
  }
  const auto answer =
      nlohmann::json::parse(bytes.substr(13, length), nullptr, false);
  if (!answer.is_object()) {
    return Kind::refused;
  }
  const auto response = answer.find("response");
  if (response == answer.end() || !response->is_string()) {
    return Kind::refused;
  }
  if (*response == "success") {
    return Kind::answer;
  }
  if (*response == "failed" && answer.contains("redirect")) {
    return Kind::maybe_redirect;
  }
  return Kind::refused;
}

} // namespace

int check_trapper_reply(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(
      static_cast<const char*>(static_cast<const void*>(data)), size);
  const Kind kind = reply_kind(bytes);
  monitoring::TrapperReply reply;
  try {
    reply = monitoring::parse_reply(bytes);
  } catch (const monitoring::ZabbixError& e) {
    require(kind != Kind::answer, "a success answer refused: " + e.reason());
    require(!e.reason().empty() && e.server().empty(),
            std::string("a reply's failure gives no reason of its own: ")
                + e.what());
    return 0;
  } catch (const std::exception& e) {
    throw CheckFailure(std::string("not a ZabbixError: ") + e.what());
  }
  if (const auto* redirect = std::get_if<monitoring::Redirect>(&reply)) {
    require(kind == Kind::maybe_redirect,
            "a redirect taken from a reply that is no framed redirect");
    // A redirect that is followed names somewhere to go.
    require(redirect->reset
                || (!redirect->target.host.empty() && redirect->target.port != 0
                    && redirect->target.host.size()
                           <= monitoring::k_max_redirect_address),
            "a redirect followed to an unusable address");
    return 0;
  }
  require(kind == Kind::answer,
          "a reply accepted that is no framed success answer");
  return 0;
}

} // namespace fuzz_checks
