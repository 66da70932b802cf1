// Every operation that reads replies over the command channel, against
// arbitrary reply sequences on the virtual clock: shell, hilog, file
// transfer and install, which collect many replies under their per-reply
// limits, and list_targets, wait_for_device, fport and uninstall, which read
// one. A model of each loop, fed with the framing model's events and their
// instants, says what the operation must return and when; the command it
// sent is checked too.
//
// Input: one byte choosing the operation, one byte (bit 0: the connection
// stays open after the script, for the operations with a limit), then a
// script (harness.hpp) played after the handshake record.
#include <algorithm>
#include <array>
#include <set>

#include "client.hpp"
#include "harness.hpp"
#include "utf8_oracle.hpp"

namespace kelpie::fuzz {
namespace {

const std::set<std::uint16_t> kCodes{0, 1, 2, 4, 5, 6, 7, 8, 9, 10, 13, 14, 1001, 1002, 1003, 2000, 2001, 3000, 3003, 3004};
const std::vector<std::string> kPackages{"a.hap", "b.hsp"};

Bytes text_of(const Bytes& payload) {
    if (payload.size() >= 2 && kCodes.contains(static_cast<std::uint16_t>(payload[0] + 256 * payload[1])))
        return Bytes(payload.begin() + 2, payload.end());
    return payload;
}

struct Expected {
    std::string outcome;  // the text, or "error: " and the message
    Duration at;
};

Expected error_at(const std::string& message, Duration at) { return {"error: " + message, at}; }

// A collection ends at `at`: the output, unless a character was left cut in half.
Expected finished(JoinModel join, Duration at) {
    join.settle({});
    if (!join.carry.empty()) return error_at("UTF-8 error: incomplete utf-8 byte sequence from index 0", at);
    return Expected{join.out, at};
}

// One strict reply of a collection. Invalid text does not end the output:
// the reply counts whole, the first such error is kept for the end, and the
// output is read on to where it would have ended.
struct StrictJoin {
    JoinModel join;
    std::optional<std::string> bad;  // the first invalid reply's error

    // The text this reply completed.
    std::string add(const Bytes& text) {
        const std::size_t before = join.out.size();
        Bytes all = join.carry;
        all.insert(all.end(), text.begin(), text.end());
        if (auto failure = join.strict(text)) {
            if (!bad) bad = failure->first;
            join.carry.clear();
            return std::string(all.begin(), all.end());
        }
        return join.out.substr(before);
    }
    // Whatever ended the collection at `at`, the first invalid reply's error wins.
    Expected ended(Expected outcome) const { return bad ? error_at(*bad, outcome.at) : outcome; }
    Expected ended(Duration at) const { return ended(finished(join, at)); }
};

// Where the events of the script stand for one reading loop.
struct Events {
    const std::vector<FrameEvent>& list;
    std::size_t next = 0;
    // The next event if it is known by `deadline` (none: wait without limit).
    const FrameEvent* by(std::optional<Duration> deadline) {
        if (next == list.size()) return nullptr;
        if (deadline && list[next].known_at > *deadline) return nullptr;
        return &list[next++];
    }
};

struct Rules {
    Duration per_reply;
    std::vector<std::string_view> markers;
    bool silence_is_timeout;
};

Expected model_collect(Events ev, const Rules& rules) {
    Duration t{};
    StrictJoin out;
    for (;;) {
        const FrameEvent* e = ev.by(t + rules.per_reply);
        if (!e) {
            const Duration at = t + rules.per_reply;
            if (!out.join.carry.empty() || out.bad) return out.ended(at);
            if (out.join.out.empty() && rules.silence_is_timeout) return error_at("Operation timed out", at);
            return out.ended(at);
        }
        t = std::max(t, e->known_at);
        if (e->kind != FrameEvent::Packet) return out.ended(error_at(event_message(*e), t));
        const Bytes text = text_of(e->payload);
        if (text.empty()) return out.ended(t);
        const std::string added = out.add(text);
        for (std::string_view m : rules.markers)
            if (added.find(m) != std::string_view::npos) return out.ended(t);
    }
}

Expected model_shell(Events ev) {
    Duration t{};
    StrictJoin out;
    for (;;) {
        const FrameEvent* e = ev.by(t + SHELL_REPLY_TIMEOUT);
        if (!e) return out.ended(t + SHELL_REPLY_TIMEOUT);
        t = std::max(t, e->known_at);
        if (e->kind != FrameEvent::Packet) return out.ended(error_at(event_message(*e), t));
        const Bytes text = text_of(e->payload);
        if (text.empty()) return out.ended(t);
        const std::string added = out.add(text);
        if (added.empty() || (added.back() != '\n' && added.back() != '\0')) continue;
        // The look for a trailing packet: any failure of it ends the operation quietly.
        const FrameEvent* trailing = ev.by(t + SHELL_TRAILING_LOOK);
        if (!trailing) return out.ended(t + SHELL_TRAILING_LOOK);
        t = std::max(t, trailing->known_at);
        if (trailing->kind != FrameEvent::Packet) return out.ended(t);
        const Bytes& p = trailing->payload;
        out.join.lossy(p.size() == 1 ? std::span<const std::uint8_t>(p) : std::span<const std::uint8_t>(p).subspan(2));
    }
}

// Code points with the White_Space property.
bool white(std::uint32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

// Trims valid UTF-8 by decoding it into code points with their byte offsets.
std::string trim(std::string_view s) {
    std::vector<std::pair<std::size_t, std::uint32_t>> cps;
    for (std::size_t i = 0; i < s.size();) {
        const auto lead = static_cast<std::uint8_t>(s[i]);
        const int w = announced_width(lead);
        std::uint32_t c = lead & (w == 1 ? 0x7F : 0xFF >> (w + 1));
        for (int k = 1; k < w; ++k) c = (c << 6) | (static_cast<std::uint8_t>(s[i + static_cast<std::size_t>(k)]) & 0x3F);
        cps.emplace_back(i, c);
        i += static_cast<std::size_t>(w);
    }
    std::size_t a = 0, b = cps.size();
    while (a < b && white(cps[a].second)) ++a;
    while (b > a && white(cps[b - 1].second)) --b;
    if (a == b) return {};
    const std::size_t end = b == cps.size() ? s.size() : cps[b].first;
    return std::string(s.substr(cps[a].first, end - cps[a].first));
}

// One reply read without limit; `shape` turns its text into the result.
template <class F>
Expected model_single(Events ev, F shape) {
    const FrameEvent* e = ev.by(std::nullopt);
    if (!e) violated("a single-reply operation on a script that never closes");
    if (e->kind != FrameEvent::Packet) return error_at(event_message(*e), e->known_at);
    const Bytes text = text_of(e->payload);
    if (const auto f = oracle_failure(text)) return error_at(oracle_message(*f), e->known_at);
    return {shape(std::string(text.begin(), text.end())), e->known_at};
}

std::string targets_of(const std::string& reply) {
    std::string joined;  // the entries, each followed by '|'
    std::size_t start = 0;
    for (;;) {
        const auto nl = reply.find('\n', start);
        const std::string line = trim(std::string_view(reply).substr(start, nl - start));
        if (!line.empty()) joined += line + "|";
        if (nl == std::string::npos) return joined;
        start = nl + 1;
    }
}

std::string device_of(const std::string& reply) {
    std::vector<std::string> pieces;
    for (std::size_t start = 0;;) {
        const auto at = reply.find("is ", start);
        pieces.push_back(reply.substr(start, at - start));
        if (at == std::string::npos) break;
        start = at + 3;
    }
    return trim(pieces.size() >= 2 ? pieces[1] : pieces[0]);
}

struct Op {
    const char* command;
    bool limited;
    Task<Result<std::string>> (*start)(AsyncClient&);
    Expected (*model)(Events);
};

// The models speak of texts; the operations that gather replies hand out an Output.
Task<Result<std::string>> as_text(Task<Result<Output>> op) {
    auto r = co_await std::move(op);
    if (!r) co_return fail(std::move(r.error()));
    co_return r->str();
}

Task<Result<std::string>> joined_targets(AsyncClient& c) {
    auto r = co_await c.list_targets();
    if (!r) co_return fail(std::move(r.error()));
    std::string joined;
    for (const std::string& t : *r) joined += t + "|";
    co_return joined;
}

const std::array<Op, 8> kOps{{
    {"shell echo x", true, [](AsyncClient& c) { return as_text(c.shell("echo x")); }, model_shell},
    {"hilog -t T", true, [](AsyncClient& c) { return as_text(c.hilog("-t T")); },
     [](Events e) { return model_collect(e, {HILOG_REPLY_TIMEOUT, {}, true}); }},
    {"file send -a l r", true,
     [](AsyncClient& c) { return as_text(c.file_send("l", "r", FileTransferOptions{.hold_timestamp = true})); },
     [](Events e) {
         return model_collect(e, {FILE_REPLY_TIMEOUT, {"FileTransfer finish", "Transfer finish", "[Fail]", "fail"}, true});
     }},
    {"install -r a.hap b.hsp", true, [](AsyncClient& c) { return as_text(c.install(kPackages, true, false)); },
     [](Events e) { return model_collect(e, {INSTALL_REPLY_TIMEOUT, {"Success", "success", "Fail", "fail"}, false}); }},
    {"list targets", false, joined_targets, [](Events e) { return model_single(e, targets_of); }},
    {"wait", false, [](AsyncClient& c) { return c.wait_for_device(); },
     [](Events e) { return model_single(e, device_of); }},
    {"fport tcp:1 localabstract:x", false,
     [](AsyncClient& c) {
         return c.fport(ForwardNode(ForwardNode::Tcp{1}), ForwardNode(ForwardNode::LocalAbstract{"x"}));
     },
     [](Events e) { return model_single(e, [](const std::string& s) { return s; }); }},
    {"uninstall -s p", false, [](AsyncClient& c) { return c.uninstall("p", false, true); },
     [](Events e) { return model_single(e, [](const std::string& s) { return s; }); }},
}};

struct Outcome {
    bool shaken;
    std::string outcome;
    Duration ended;
};

Task<Outcome> run(AsyncClient& client, const Op& op) {
    Runtime& rt = Runtime::current();
    const Instant start = rt.now();
    if (!co_await client.handshake()) co_return Outcome{false, {}, {}};
    auto r = co_await op.start(client);
    co_return Outcome{true, r ? *r : "error: " + r.error().message(), rt.now() - start};
}

Bytes framed(std::string_view payload) {
    Bytes b;
    append_header(b, static_cast<std::uint32_t>(payload.size()));
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

}  // namespace
}  // namespace kelpie::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kelpie;
    using namespace kelpie::fuzz;
    Reader in(std::span(data, size));
    const Op& op = kOps[in.byte() % kOps.size()];
    const bool stay_open = (in.byte() & 1) && op.limited;
    Script script = parse_script(in, !stay_open);

    // The server's handshake record goes first, at the start.
    Bytes record(44, 0x41);
    std::copy_n("OHOS HDC", 8, record.begin());
    Bytes hello;
    append_header(hello, 44);
    hello.insert(hello.end(), record.begin(), record.end());
    script.chunks.insert(script.chunks.begin(), Chunk{Duration::zero(), hello});

    auto rt = fresh_runtime();
    Pipe pipe = Pipe::make();
    AsyncClient client = AsyncClient::adopt("fuzz:0", std::move(pipe.near), rt->now());
    const Outcome o = rt->block_on(alongside(run(client, op), play(pipe, script)));
    if (!o.shaken) {
        check(script.close_at == Duration::zero(), "handshake failed on an open connection");
        return 0;
    }
    std::vector<FrameEvent> events = frame_events(script);
    events.erase(events.begin());  // the record
    const Expected want = op.model(Events{events});
    check(o.outcome == want.outcome, op.command, "got <" + o.outcome + "> expected <" + want.outcome + ">");
    check(o.ended == want.at, "ended at the wrong moment", op.command);
    Bytes sent = framed(std::string(record.begin(), record.begin() + 12) + std::string(32, '\0'));
    const Bytes command = framed(op.command);
    sent.insert(sent.end(), command.begin(), command.end());
    check(pipe.sent_by_client() == sent, "bytes sent", op.command);
    return 0;
}
