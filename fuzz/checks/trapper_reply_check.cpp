#include "checks/checks.h"
#include "monitoring/fd.h"
#include "monitoring/zabbix_sender.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <string_view>
#include <sys/socket.h>

namespace fuzz_checks {
namespace {

// More than a fresh socket pair holds without a reader would block the one
// write below; longer inputs are cut there, which still leaves bodies short
// of their declared length.
constexpr std::size_t k_max_fed = 60'000;

std::uint32_t u32le(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0])
         | (static_cast<std::uint32_t>(p[1]) << 8U)
         | (static_cast<std::uint32_t>(p[2]) << 16U)
         | (static_cast<std::uint32_t>(p[3]) << 24U);
}

// The trapper protocol's rules for an acceptable answer, from the protocol
// notes: "ZBXD", flags exactly 0x01, a length no larger than the sender
// takes, that many bytes of a JSON object whose "response" is "success".
bool acceptable_reply(const std::uint8_t* data, std::size_t size) {
  if (size < 13 || std::memcmp(data, "ZBXD", 4) != 0 || data[4] != 0x01) {
    return false;
  }
  const std::uint32_t length = u32le(data + 5);
  if (length > monitoring::k_max_reply_size || size - 13 < length) {
    return false;
  }
  const std::string_view body(
      static_cast<const char*>(static_cast<const void*>(data + 13)), length);
  const auto answer = nlohmann::json::parse(body, nullptr, false);
  if (!answer.is_object()) {
    return false;
  }
  const auto response = answer.find("response");
  return response != answer.end() && response->is_string()
         && response->get<std::string>() == "success";
}

} // namespace

int check_trapper_reply(const std::uint8_t* data, std::size_t size) {
  size = std::min(size, k_max_fed);
  int ends[2] = {-1, -1};
  require(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == 0,
          std::string("socketpair: ") + std::strerror(errno));
  const monitoring::Fd ours(ends[0]);
  monitoring::Fd peer(ends[1]);
  const int flags = ::fcntl(peer.get(), F_GETFL);
  require(flags >= 0 && ::fcntl(peer.get(), F_SETFL, flags | O_NONBLOCK) == 0,
          "fcntl on the socket pair");
  if (size > 0) {
    const ssize_t written = ::send(peer.get(), data, size, MSG_NOSIGNAL);
    require(written == static_cast<ssize_t>(size),
            std::string("the socket pair took a short write: ")
                + std::strerror(errno));
  }
  // The peer closes after its reply, as the trapper does.
  peer.reset();

  const monitoring::ZabbixServer server{"127.0.0.1", 10051};
  const bool acceptable = acceptable_reply(data, size);
  try {
    monitoring::read_trapper_answer(
        ours.get(), server, "fuzz", std::chrono::milliseconds(2'000));
  } catch (const monitoring::ZabbixError& e) {
    const std::string message = e.what();
    require(!acceptable, "a success answer refused: " + message);
    require(message.starts_with("enviar ao Zabbix 127.0.0.1:10051 (chave "
                                "fuzz): "),
            "message does not name the exchange: " + message);
    return 0;
  } catch (const std::exception& e) {
    throw CheckFailure(std::string("not a ZabbixError: ") + e.what());
  }
  require(acceptable, "a reply accepted that is no framed success answer");
  return 0;
}

} // namespace fuzz_checks
