#include "transport/resolved.h"

#include "console/deadline.h"

#include <array>
#include <cerrno>
#include <charconv>
#include <netdb.h>
#include <system_error>

namespace transport {

void Resolved::AddrinfoFree::operator()(addrinfo* a) const noexcept {
  freeaddrinfo(a);
}

Resolved Resolved::resolve(const std::string& host, std::uint16_t port) {
  console::deadline::check();
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  std::array<char, 8> port_text{};
  std::to_chars(
      port_text.data(), port_text.data() + port_text.size() - 1, port);
  addrinfo* found = nullptr;
  const int rc = ::getaddrinfo(host.c_str(), port_text.data(), &hints, &found);
  const int saved_errno = errno;
  Resolved resolved;
  resolved.m_addresses.reset(found);
  if (rc != 0) {
    resolved.m_addresses.reset();
    resolved.m_failure =
        "nome não resolvido: "
        + (rc == EAI_SYSTEM ? std::system_category().message(saved_errno)
                            : std::string(::gai_strerror(rc)));
  } else if (found == nullptr) {
    resolved.m_failure = "nenhum endereço para o nome";
  }
  return resolved;
}

} // namespace transport
