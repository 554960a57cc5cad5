#include "support/sockets.h"

#include <arpa/inet.h>
#include <cerrno>
#include <stdexcept>
#include <sys/socket.h>
#include <system_error>

namespace test_support {

sockaddr_in socket_address(const std::string& address, std::uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  if (::inet_pton(AF_INET, address.c_str(), &a.sin_addr) != 1) {
    throw std::invalid_argument("not an IPv4 address: " + address);
  }
  return a;
}

std::uint16_t unused_port(const std::string& address) {
  transport::Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in a = socket_address(address, 0);
  // sockaddr_in is the documented layout behind sockaddr for AF_INET.
  auto* generic = reinterpret_cast<sockaddr*>(&a);
  socklen_t length = sizeof a;
  if (!fd || ::bind(fd.get(), generic, length) != 0
      || ::getsockname(fd.get(), generic, &length) != 0) {
    throw std::system_error(errno, std::system_category(), "bind " + address);
  }
  return ntohs(a.sin_port);
}

transport::Fd listen_on(const std::string& address, std::uint16_t& port) {
  transport::Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) {
    throw std::system_error(errno, std::system_category(), "socket");
  }
  const int yes = 1;
  ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in a = socket_address(address, port);
  auto* generic = reinterpret_cast<sockaddr*>(&a);
  socklen_t length = sizeof a;
  if (::bind(fd.get(), generic, length) != 0 || ::listen(fd.get(), 16) != 0
      || ::getsockname(fd.get(), generic, &length) != 0) {
    throw std::system_error(
        errno, std::system_category(), "bind/listen " + address);
  }
  port = ntohs(a.sin_port);
  return fd;
}

transport::Fd connect_to(const std::string& host, std::uint16_t port) {
  transport::Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in a = socket_address(host, port);
  if (!fd
      || ::connect(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    return transport::Fd();
  }
  return fd;
}

} // namespace test_support
