#pragma once

#include "transport/fd.h"

#include <cstdint>
#include <netinet/in.h>
#include <string>

// The suite's one set of socket helpers for its doubles and peers, all on
// IPv4 loopback addresses.
namespace test_support {

/// address:port as a sockaddr_in; throws std::invalid_argument for anything
/// but a dotted IPv4 address.
sockaddr_in socket_address(const std::string& address, std::uint16_t port);

/// A TCP port on `address` where nothing listens (bound once, released).
std::uint16_t unused_port(const std::string& address = "127.0.0.1");

/// A listening socket on address:0 (SO_REUSEADDR), its port in `port`;
/// throws std::system_error on failure.
transport::Fd listen_on(const std::string& address, std::uint16_t& port);

/// A connected TCP socket to host:port, or an empty Fd when the connection
/// is refused.
transport::Fd connect_to(const std::string& host, std::uint16_t port);

} // namespace test_support
