// Server address texts. split_host_port agrees with a plain reading of its
// rule; parse_numeric_address agrees with a hand-written reading of the IPv4
// form, and every IPv6 address it accepts prints back (inet_ntop) to a text
// that it parses to the same socket address.
//
// Input: the text.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>
#include <string>
#include <string_view>

#include "harness.hpp"
#include "net/address.hpp"

namespace kelpie::fuzz {
namespace {

bool all_digits(std::string_view s) {
    return !s.empty() && s.find_first_not_of("0123456789") == std::string_view::npos;
}

// At most five digits (leading zeros allowed), at most 65535.
std::optional<std::uint16_t> plain_port(std::string_view s) {
    if (!all_digits(s) || s.size() > 5) return std::nullopt;
    const unsigned long v = std::stoul(std::string(s));
    if (v > 65535) return std::nullopt;
    return static_cast<std::uint16_t>(v);
}

// Four decimal parts of at most 255, no leading zeros, no sign.
std::optional<std::uint32_t> dotted_quad(std::string_view s) {
    std::uint32_t addr = 0;
    int parts = 0;
    for (;;) {
        const auto dot = s.find('.');
        const std::string_view p = s.substr(0, dot);
        if (!all_digits(p) || p.size() > 3 || (p.size() > 1 && p[0] == '0')) return std::nullopt;
        const unsigned long v = std::stoul(std::string(p));
        if (v > 255) return std::nullopt;
        addr = (addr << 8) | static_cast<std::uint32_t>(v);
        ++parts;
        if (dot == std::string_view::npos) break;
        s.remove_prefix(dot + 1);
    }
    if (parts != 4) return std::nullopt;
    return addr;
}

void check_split(std::string_view text) {
    const auto r = split_host_port(text);
    const auto colon = text.rfind(':');
    if (colon == std::string_view::npos) {
        check(!r && r.error().message() == "I/O error: invalid socket address", "no colon");
        return;
    }
    std::string_view port = text.substr(colon + 1);
    if (port.starts_with('+')) port.remove_prefix(1);
    const auto digits = port.find_first_not_of('0');
    const std::string_view significant = digits == std::string_view::npos ? "0" : port.substr(digits);
    const bool ok = all_digits(port) && significant.size() <= 5 && std::stoul(std::string(significant)) <= 65535;
    if (!ok) {
        check(!r && r.error().message() == "I/O error: invalid port value", "bad port accepted");
        return;
    }
    check(r && r->host == text.substr(0, colon) && r->port == std::stoul(std::string(significant)), "host and port");
}

void check_numeric(std::string_view text) {
    const auto a = parse_numeric_address(text);
    if (!text.starts_with('[')) {
        const auto colon = text.rfind(':');
        std::optional<std::uint32_t> ip;
        std::optional<std::uint16_t> port;
        if (colon != std::string_view::npos) {
            ip = dotted_quad(text.substr(0, colon));
            port = plain_port(text.substr(colon + 1));
        }
        if (!ip || !port) {
            check(!a, "IPv4 form accepted", std::string(text));
            return;
        }
        check(a.has_value(), "IPv4 form refused");
        const auto* sa = reinterpret_cast<const sockaddr_in*>(&a->storage);
        check(a->length == sizeof(sockaddr_in) && sa->sin_family == AF_INET && ntohl(sa->sin_addr.s_addr) == *ip &&
                  ntohs(sa->sin_port) == *port,
              "IPv4 address");
        return;
    }
    if (!a) return;
    const auto* sa = reinterpret_cast<const sockaddr_in6*>(&a->storage);
    check(a->length == sizeof(sockaddr_in6) && sa->sin6_family == AF_INET6, "IPv6 family");
    check(text.find('\0') == std::string_view::npos, "a NUL inside an accepted address");
    char buf[INET6_ADDRSTRLEN];
    check(::inet_ntop(AF_INET6, &sa->sin6_addr, buf, sizeof buf) != nullptr, "inet_ntop");
    std::string printed = "[" + std::string(buf);
    if (sa->sin6_scope_id) printed += "%" + std::to_string(sa->sin6_scope_id);
    printed += "]:" + std::to_string(ntohs(sa->sin6_port));
    const auto again = parse_numeric_address(printed);
    check(again && std::memcmp(&again->storage, &a->storage, sizeof(sockaddr_in6)) == 0, "IPv6 round trip", printed);
    // Whatever parses as a numeric address also splits, at the same port.
    const auto split = split_host_port(text);
    check(split && split->port == ntohs(sa->sin6_port), "numeric address does not split");
}

}  // namespace
}  // namespace kelpie::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    kelpie::fuzz::check_split(text);
    kelpie::fuzz::check_numeric(text);
    return 0;
}
