#include "forward_node.hpp"

#include <optional>
#include <vector>

namespace kelpie {

namespace {

// One optional '+', then at least one ASCII digit, and a value within `max`.
// Leading zeros are fine; the value is tracked in 64 bits so long digit runs cannot wrap.
std::optional<std::uint32_t> parse_number(std::string_view s, std::uint32_t max) {
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    if (s.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
        if (value > max) return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

std::vector<std::string_view> split_at(std::string_view s, char sep) {
    std::vector<std::string_view> pieces;
    for (;;) {
        const auto at = s.find(sep);
        pieces.push_back(s.substr(0, at));
        if (at == std::string_view::npos) return pieces;
        s.remove_prefix(at + 1);
    }
}

ClientError bad(std::string_view what, std::string_view text) {
    return ClientError::protocol(std::string(what) + std::string(text));
}

Result<ForwardNode> parse_ark(std::string_view rest) {
    const auto pieces = split_at(rest, '@');
    if (pieces.size() != 3) return fail(bad("Invalid ark format: expected pid@tid@debugger, got ", rest));
    const auto pid = parse_number(pieces[0], UINT32_MAX);
    if (!pid) return fail(bad("Invalid pid in ark: ", pieces[0]));
    const auto tid = parse_number(pieces[1], UINT32_MAX);
    if (!tid) return fail(bad("Invalid tid in ark: ", pieces[1]));
    return ForwardNode(ForwardNode::Ark{*pid, *tid, std::string(pieces[2])});
}

}  // namespace

Result<ForwardNode> ForwardNode::parse(std::string_view text) {
    if (text.size() < 4) return fail(bad("Invalid forward node format: ", text));
    const auto rest_after = [&](std::string_view prefix) -> std::optional<std::string_view> {
        if (!text.starts_with(prefix)) return std::nullopt;
        return text.substr(prefix.size());
    };
    if (auto rest = rest_after("tcp:")) {
        const auto port = parse_number(*rest, 65535);
        if (!port) return fail(bad("Invalid TCP port: ", *rest));
        return ForwardNode(Tcp{static_cast<std::uint16_t>(*port)});
    }
    if (auto rest = rest_after("localfilesystem:")) return ForwardNode(LocalFilesystem{std::string(*rest)});
    if (auto rest = rest_after("localreserved:")) return ForwardNode(LocalReserved{std::string(*rest)});
    if (auto rest = rest_after("localabstract:")) return ForwardNode(LocalAbstract{std::string(*rest)});
    if (auto rest = rest_after("dev:")) return ForwardNode(Dev{std::string(*rest)});
    if (auto rest = rest_after("jdwp:")) {
        const auto pid = parse_number(*rest, UINT32_MAX);
        if (!pid) return fail(bad("Invalid JDWP pid: ", *rest));
        return ForwardNode(Jdwp{*pid});
    }
    if (auto rest = rest_after("ark:")) return parse_ark(*rest);
    return fail(bad("Invalid forward node format: ", text));
}

std::string ForwardNode::to_string() const {
    struct Printer {
        std::string operator()(const Tcp& n) const { return "tcp:" + std::to_string(n.port); }
        std::string operator()(const LocalFilesystem& n) const { return "localfilesystem:" + n.name; }
        std::string operator()(const LocalReserved& n) const { return "localreserved:" + n.name; }
        std::string operator()(const LocalAbstract& n) const { return "localabstract:" + n.name; }
        std::string operator()(const Dev& n) const { return "dev:" + n.name; }
        std::string operator()(const Jdwp& n) const { return "jdwp:" + std::to_string(n.pid); }
        std::string operator()(const Ark& n) const {
            return "ark:" + std::to_string(n.pid) + "@" + std::to_string(n.tid) + "@" + n.debugger;
        }
    };
    return std::visit(Printer{}, value_);
}

}  // namespace kelpie
