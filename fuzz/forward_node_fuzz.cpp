// Forward node texts: the parse agrees with a plain reading of the rules (the
// same node printed the same way, or the same message), and a parsed node
// printed back parses to the same node, except an ark node whose debugger
// text holds '@', which must not parse back.
//
// Input: the text.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "forward_node.hpp"
#include "harness.hpp"

namespace kelpie::fuzz {
namespace {

// '+'?, digits, value at most max; printed without sign or leading zeros.
std::optional<std::string> number(std::string_view s, std::uint64_t max) {
    if (s.starts_with('+')) s.remove_prefix(1);
    if (s.empty() || s.find_first_not_of("0123456789") != std::string_view::npos) return std::nullopt;
    s.remove_prefix(std::min(s.find_first_not_of('0'), s.size() - 1));
    if (s.size() > 10 || std::stoull(std::string(s)) > max) return std::nullopt;
    return std::string(s);
}

struct Expected {
    bool ok;
    std::string text;  // the printed node, or the error's detail
};

Expected oracle(std::string_view t) {
    const auto bad = [](std::string_view what, std::string_view text) {
        return Expected{false, std::string(what) + std::string(text)};
    };
    if (t.size() < 4) return bad("Invalid forward node format: ", t);
    const auto rest = [&](std::string_view p) { return t.substr(p.size()); };
    if (t.starts_with("tcp:")) {
        const auto n = number(rest("tcp:"), 65535);
        return n ? Expected{true, "tcp:" + *n} : bad("Invalid TCP port: ", rest("tcp:"));
    }
    for (std::string_view p : {"localfilesystem:", "localreserved:", "localabstract:", "dev:"})
        if (t.starts_with(p)) return {true, std::string(t)};
    if (t.starts_with("jdwp:")) {
        const auto n = number(rest("jdwp:"), UINT32_MAX);
        return n ? Expected{true, "jdwp:" + *n} : bad("Invalid JDWP pid: ", rest("jdwp:"));
    }
    if (t.starts_with("ark:")) {
        const std::string_view r = rest("ark:");
        const auto a = r.find('@');
        const auto b = a == std::string_view::npos ? a : r.find('@', a + 1);
        if (b == std::string_view::npos || r.find('@', b + 1) != std::string_view::npos)
            return bad("Invalid ark format: expected pid@tid@debugger, got ", r);
        const auto pid = number(r.substr(0, a), UINT32_MAX);
        if (!pid) return bad("Invalid pid in ark: ", r.substr(0, a));
        const auto tid = number(r.substr(a + 1, b - a - 1), UINT32_MAX);
        if (!tid) return bad("Invalid tid in ark: ", r.substr(a + 1, b - a - 1));
        return {true, "ark:" + *pid + "@" + *tid + "@" + std::string(r.substr(b + 1))};
    }
    return bad("Invalid forward node format: ", t);
}

}  // namespace
}  // namespace kelpie::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kelpie;
    using namespace kelpie::fuzz;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto node = ForwardNode::parse(text);
    const Expected want = oracle(text);
    if (!want.ok) {
        check(!node && node.error().message() == "Protocol error: " + want.text, "refusal",
              node ? node->to_string() : node.error().message());
        return 0;
    }
    check(node.has_value(), "refused", node ? "" : node.error().message());
    const std::string printed = node->to_string();
    check(printed == want.text, "printed form", printed);
    const auto again = ForwardNode::parse(printed);
    const auto* ark = std::get_if<ForwardNode::Ark>(&node->value());
    if (ark && ark->debugger.find('@') != std::string::npos) {
        check(!again, "an ark debugger holding '@' parsed back");
        return 0;
    }
    check(again && *again == *node, "round trip");
    return 0;
}
