// Server addresses: the numeric forms taken as they are, everything else
// split into host and port and handed to the system resolver.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error.hpp"

namespace kelpie {

struct SocketAddress {
    sockaddr_storage storage{};
    socklen_t length = 0;
};

struct HostPort {
    std::string host;
    std::uint16_t port = 0;
};

// "a.b.c.d:port" or "[ipv6]:port" (an optional numeric "%scope" inside the brackets).
std::optional<SocketAddress> parse_numeric_address(std::string_view text);

// Splits at the last ':'; "invalid socket address" without one, "invalid port value"
// when the port is not a number from 0 to 65535.
Result<HostPort> split_host_port(std::string_view text);

// Blocking getaddrinfo, in the resolver's order; meant for a pool thread.
Result<std::vector<SocketAddress>> resolve(const HostPort& target);

}  // namespace kelpie
