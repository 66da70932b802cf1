// The packet reader on an arbitrary byte stream, split and delayed at will,
// read under per-read time limits. Whatever the split, every read must report
// what the framing model says comes next, at the moment it can first be known;
// a read that times out changes nothing.
//
// Input: one byte choosing the limit of each read, then a script (harness.hpp).
#include "harness.hpp"

namespace kelpie::fuzz {
namespace {

// Reads per input; a long silence read under a short limit times out many times over.
constexpr int kMaxReads = 300;

struct Read {
    Duration called;  // from the start
    Duration ended;
    Result<Bytes> result;
};

// The limit of each read: none, a few ticks, or a few seconds. Reads that time
// out follow one another, so their deadlines add up; the extra microsecond keeps
// every sum of fewer than 7000 of them off the ticks at which bytes arrive.
std::optional<Duration> read_limit(std::uint8_t choice) {
    if (choice == 0) return std::nullopt;
    if (choice < 128) return choice * kTick + 1us;
    return (choice - 127) * 143 * kTick + 1us;
}

Task<std::vector<Read>> read_all(PacketReader& reader, TcpStream& stream, std::optional<Duration> limit) {
    Runtime& rt = Runtime::current();
    const Instant start = rt.now();
    std::vector<Read> reads;
    for (int i = 0; i < kMaxReads; ++i) {
        const Instant called = rt.now();
        std::optional<Instant> deadline;
        if (limit) deadline = called + *limit;
        auto r = co_await reader.next(stream, deadline);
        if (r) {
            reads.push_back({called - start, rt.now() - start, Bytes(r->begin(), r->end())});
            continue;
        }
        const bool last = r.error().kind() == ErrorKind::Io;
        reads.push_back({called - start, rt.now() - start, fail(std::move(r.error()))});
        if (last) break;
    }
    co_return reads;
}

void compare(const std::vector<Read>& reads, const std::vector<FrameEvent>& events, std::optional<Duration> limit) {
    std::size_t next = 0;
    for (const Read& r : reads) {
        if (!r.result && r.result.error().kind() == ErrorKind::Timeout) {
            check(limit.has_value(), "timeout without a limit");
            check(r.ended == r.called + *limit, "timeout at the wrong moment");
            check(next == events.size() || events[next].known_at > r.ended, "timed out though the event was due");
            continue;
        }
        check(next < events.size(), "a read reported more than the stream holds");
        const FrameEvent& e = events[next++];
        check(r.ended == std::max(r.called, e.known_at), "outcome at the wrong moment");
        if (e.kind == FrameEvent::Packet) {
            check(r.result.has_value(), "packet expected", r.result ? "" : r.result.error().message());
            check(*r.result == e.payload, "payload differs");
        } else {
            check(!r.result, "error expected");
            check(r.result.error().message() == event_message(e), "wrong error", r.result.error().message());
        }
    }
    // The stream was closed, so reading ends at the end of the stream unless the reads ran out.
    if (reads.size() < static_cast<std::size_t>(kMaxReads)) check(next == events.size(), "events left unread");
}

}  // namespace
}  // namespace kelpie::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kelpie;
    using namespace kelpie::fuzz;
    Reader in(std::span(data, size));
    const auto limit = read_limit(in.byte());
    const Script script = parse_script(in, true);
    auto rt = fresh_runtime();
    Pipe pipe = Pipe::make();
    PacketReader reader;
    auto reads = rt->block_on(alongside(read_all(reader, pipe.near, limit), play(pipe, script)));
    compare(reads, frame_events(script), limit);
    return 0;
}
