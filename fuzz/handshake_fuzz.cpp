// The handshake against arbitrary records, split and delayed at will. The
// outcome must follow from the first framing event of the stream: a record
// too short, a wrong banner, a bad header, the end of the stream, or silence
// past the handshake's limit; only a good record gets a reply, and that reply
// must echo the banner (and version field) with the key field in between.
//
// Input: one byte (bit 7: the connection stays open after the script; bits
// 0-5: the key's length, 63 for no key), the key, then a script (harness.hpp).
#include <cstring>

#include "client.hpp"
#include "harness.hpp"

namespace kelpie::fuzz {
namespace {

struct Outcome {
    Result<void> result;
    Duration ended;
    bool connected;
    std::uint32_t channel;
    std::optional<std::string> key;
    bool peer_closed;  // when the handshake ended
};

Task<Outcome> shake(AsyncClient& client, std::optional<std::string_view> key, const Pipe& pipe) {
    Runtime& rt = Runtime::current();
    const Instant start = rt.now();
    auto r = co_await client.handshake(key);
    co_return Outcome{std::move(r), rt.now() - start, client.connected(), client.channel_id(), client.connect_key(),
                      !pipe.far};
}

Bytes expected_reply(const Bytes& record, std::optional<std::string_view> key) {
    Bytes reply(record.begin(), record.begin() + 12);
    reply.resize(44, 0);
    if (key) std::memcpy(reply.data() + 12, key->data(), std::min<std::size_t>(key->size(), 32));
    if (record.size() >= 108) reply.insert(reply.end(), record.begin() + 44, record.begin() + 108);
    Bytes framed;
    append_header(framed, static_cast<std::uint32_t>(reply.size()));
    framed.insert(framed.end(), reply.begin(), reply.end());
    return framed;
}

std::string banner_message(const Bytes& record) {
    std::string list;
    for (int i = 0; i < 12; ++i) list += (i ? ", " : "") + std::to_string(record[i]);
    return "Invalid banner: expected 'OHOS HDC', got [" + list + "]";
}

void compare(const Outcome& o, const std::vector<FrameEvent>& events, std::optional<Duration> close_at,
             std::optional<std::string_view> key, const Bytes& sent) {
    const Duration limit = HANDSHAKE_TIMEOUT;
    const std::string got = o.result ? "ok" : o.result.error().message();
    const auto expect_failure = [&](const std::string& message, Duration at) {
        check(got == message, "handshake outcome", got + " instead of " + message);
        check(o.ended == at, "failed at the wrong moment");
        check(!o.connected && sent.empty(), "a failed handshake connected or sent");
    };
    if (events.empty() || events.front().known_at > limit) return expect_failure("Operation timed out", limit);
    const FrameEvent& e = events.front();
    if (e.kind != FrameEvent::Packet) return expect_failure(event_message(e), e.known_at);
    const Bytes& record = e.payload;
    if (record.size() < 44)
        return expect_failure("Protocol error: Handshake data too short: expected at least 44, got " +
                                  std::to_string(record.size()),
                              e.known_at);
    if (std::memcmp(record.data(), "OHOS HDC", 8) != 0) return expect_failure(banner_message(record), e.known_at);
    // A script that closes at the instant its record is whole may be gone
    // before the client answers: on a socket pair the reply meets a closed
    // peer. (It may also close later than planned, when its own sending
    // waited for room; a close never comes early.)
    if (o.peer_closed) {
        check(close_at && *close_at <= e.known_at, "closed before its time");
        return expect_failure("I/O error: Broken pipe (os error 32)", e.known_at);
    }
    check(o.result.has_value(), "good record refused", got);
    check(o.ended == e.known_at && o.connected, "not connected at the record's arrival");
    check(sent == expected_reply(record, key), "reply bytes");
    const std::uint32_t channel = (std::uint32_t{record[12]} << 24) | (std::uint32_t{record[13]} << 16) |
                                  (std::uint32_t{record[14]} << 8) | record[15];
    check(o.channel == channel, "channel identifier");
    check(o.key == (key ? std::optional<std::string>(*key) : std::nullopt), "stored key");
}

}  // namespace
}  // namespace kelpie::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kelpie;
    using namespace kelpie::fuzz;
    Reader in(std::span(data, size));
    const std::uint8_t mode = in.byte();
    std::optional<std::string> key;
    if ((mode & 63) != 63) {
        const auto k = in.take(mode & 63);
        key.emplace(k.begin(), k.end());
    }
    const Script script = parse_script(in, !(mode & 0x80));
    auto rt = fresh_runtime();
    Pipe pipe = Pipe::make();
    AsyncClient client = AsyncClient::adopt("fuzz:0", std::move(pipe.near), rt->now());
    const std::optional<std::string_view> key_view = key ? std::optional<std::string_view>(*key) : std::nullopt;
    const Outcome o = rt->block_on(alongside(shake(client, key_view, pipe), play(pipe, script)));
    const Bytes sent = pipe.sent_by_client();
    compare(o, frame_events(script, 1), script.close_at, key_view, sent);
    return 0;
}
