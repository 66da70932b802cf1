#include "net/address.hpp"

#include <arpa/inet.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>

#include <cerrno>
#include <charconv>
#include <cstring>

namespace kelpie {

namespace {

// Decimal digits only, as the numeric form allows; at most 65535.
std::optional<std::uint16_t> parse_plain_port(std::string_view s) {
    if (s.empty() || s.size() > 5) return std::nullopt;
    unsigned value = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > 65535) return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

}  // namespace

std::optional<SocketAddress> parse_numeric_address(std::string_view text) {
    // inet_pton reads a C string: a NUL would end the address early and let
    // "[::\0junk1]:80" through as [::]:80.
    if (text.find('\0') != std::string_view::npos) return std::nullopt;
    SocketAddress out;
    if (!text.empty() && text.front() == '[') {
        const auto close = text.find(']');
        if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':')
            return std::nullopt;
        auto port = parse_plain_port(text.substr(close + 2));
        if (!port) return std::nullopt;
        std::string_view inner = text.substr(1, close - 1);
        std::uint32_t scope = 0;
        if (auto pct = inner.find('%'); pct != std::string_view::npos) {
            std::string_view digits = inner.substr(pct + 1);
            auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), scope);
            if (digits.empty() || ec != std::errc() || ptr != digits.data() + digits.size()) return std::nullopt;
            inner = inner.substr(0, pct);
        }
        auto* sa = reinterpret_cast<sockaddr_in6*>(&out.storage);
        sa->sin6_family = AF_INET6;
        sa->sin6_port = htons(*port);
        sa->sin6_scope_id = scope;
        if (::inet_pton(AF_INET6, std::string(inner).c_str(), &sa->sin6_addr) != 1) return std::nullopt;
        out.length = sizeof(sockaddr_in6);
        return out;
    }
    const auto colon = text.rfind(':');
    if (colon == std::string_view::npos) return std::nullopt;
    auto port = parse_plain_port(text.substr(colon + 1));
    if (!port) return std::nullopt;
    auto* sa = reinterpret_cast<sockaddr_in*>(&out.storage);
    sa->sin_family = AF_INET;
    sa->sin_port = htons(*port);
    // inet_pton's IPv4 form is the strict dotted quad: four decimal parts, no leading zeros.
    if (::inet_pton(AF_INET, std::string(text.substr(0, colon)).c_str(), &sa->sin_addr) != 1) return std::nullopt;
    out.length = sizeof(sockaddr_in);
    return out;
}

Result<HostPort> split_host_port(std::string_view text) {
    const auto colon = text.rfind(':');
    if (colon == std::string_view::npos) return fail(ClientError::io_text("invalid socket address"));
    std::string_view port_text = text.substr(colon + 1);
    // An unsigned decimal as the standard integer parsers read it: one optional '+', then digits.
    if (!port_text.empty() && port_text.front() == '+') port_text.remove_prefix(1);
    unsigned long value = 0;
    bool ok = !port_text.empty();
    for (char c : port_text) {
        if (c < '0' || c > '9' || (value = value * 10 + static_cast<unsigned>(c - '0')) > 65535) {
            ok = false;
            break;
        }
    }
    if (!ok) return fail(ClientError::io_text("invalid port value"));
    return HostPort{std::string(text.substr(0, colon)), static_cast<std::uint16_t>(value)};
}

Result<std::vector<SocketAddress>> resolve(const HostPort& target) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    const int rc = ::getaddrinfo(target.host.c_str(), nullptr, &hints, &list);
    if (rc != 0) {
        const std::string detail = rc == EAI_SYSTEM ? IoError::os(errno).describe() : std::string(::gai_strerror(rc));
        return fail(ClientError::io_text("failed to lookup address information: " + detail));
    }
    std::vector<SocketAddress> out;
    for (addrinfo* ai = list; ai; ai = ai->ai_next) {
        if (ai->ai_family != AF_INET && ai->ai_family != AF_INET6) continue;
        SocketAddress a;
        std::memcpy(&a.storage, ai->ai_addr, ai->ai_addrlen);
        a.length = ai->ai_addrlen;
        if (ai->ai_family == AF_INET)
            reinterpret_cast<sockaddr_in*>(&a.storage)->sin_port = htons(target.port);
        else
            reinterpret_cast<sockaddr_in6*>(&a.storage)->sin6_port = htons(target.port);
        out.push_back(a);
    }
    ::freeaddrinfo(list);
    return out;
}

}  // namespace kelpie
