// What the fuzz targets share: a server's side of one connection played from
// the fuzzer's bytes on a virtual clock, and a plain model of the framing
// that says what a reader of that byte stream must see, and when.
#pragma once

#include <fcntl.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "net/tcp_stream.hpp"
#include "protocol/packet.hpp"
#include "runtime/runtime.hpp"

namespace kelpie::fuzz {

using namespace std::chrono_literals;

// The step of the script's clock. No limit of the client is a multiple of it
// (100 ms, 5, 10, 30 and 60 s), so a byte never arrives at the very instant a
// limit strikes and every outcome is determined by the script alone.
inline constexpr Duration kTick = 7ms;
// Bounds that keep one input cheap: the chunks of a script (pieces of one
// byte add up fast), and the events a model follows.
inline constexpr std::size_t kMaxChunks = 256;
inline constexpr std::size_t kMaxEvents = 5000;
// Payload bytes behind one 'B' header at most: past the reader's first buffer
// size (64 KiB), so it must grow, yet cheap enough to play thousands of times a
// second. Packets of the largest size are the unit tests' business.
inline constexpr std::uint32_t kMaxFill = 70'000;
// Bytes one script may send at most: two such packets and change. Without a
// bound, an input of a few hundred 'B' commands sends tens of megabytes and
// costs as much as thousands of ordinary inputs, for no new behaviour.
inline constexpr std::size_t kMaxStream = 160 * 1024;

[[noreturn]] inline void violated(const char* what, const std::string& detail = {}) {
    std::fprintf(stderr, "property violated: %s %s\n", what, detail.c_str());
    std::abort();
}

inline void check(bool ok, const char* what, const std::string& detail = {}) {
    if (!ok) violated(what, detail);
}

// Reads the fuzzer's bytes front to back; running out yields zeros.
class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> data) : data_(data) {}
    bool done() const { return data_.empty(); }
    std::uint8_t byte() {
        if (data_.empty()) return 0;
        const std::uint8_t b = data_.front();
        data_ = data_.subspan(1);
        return b;
    }
    std::uint32_t be(int width) {
        std::uint32_t v = 0;
        for (int i = 0; i < width; ++i) v = (v << 8) | byte();
        return v;
    }
    std::span<const std::uint8_t> take(std::size_t n) {
        n = std::min(n, data_.size());
        const auto out = data_.first(n);
        data_ = data_.subspan(n);
        return out;
    }
    std::span<const std::uint8_t> rest() { return take(data_.size()); }

private:
    std::span<const std::uint8_t> data_;
};

inline void append_header(Bytes& out, std::uint32_t n) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(n >> shift));
}

// Bytes the server sends at one instant, counted from the start of the script.
struct Chunk {
    Duration at;
    Bytes bytes;
};

struct Script {
    std::vector<Chunk> chunks;
    std::optional<Duration> close_at;  // none: the connection stays open and silent

    Bytes stream() const {
        Bytes all;
        for (const Chunk& c : chunks) all.insert(all.end(), c.bytes.begin(), c.bytes.end());
        return all;
    }
};

// When each byte of a script's stream is sent.
class Arrivals {
public:
    explicit Arrivals(const Script& s) {
        std::size_t end = 0;
        for (const Chunk& c : s.chunks) {
            end += c.bytes.size();
            ends_.push_back(end);
            at_.push_back(c.at);
        }
    }
    Duration of(std::size_t index) const {
        const auto it = std::upper_bound(ends_.begin(), ends_.end(), index);
        if (it == ends_.end()) violated("arrival asked past the stream");
        return at_[static_cast<std::size_t>(it - ends_.begin())];
    }

private:
    std::vector<std::size_t> ends_;
    std::vector<Duration> at_;
};

// The script language, one command byte and its operands:
//   'P' n:u16 payload[n]  a packet whose header announces its n bytes (n cut to what is left)
//   'R' n:u8 bytes[n]     raw bytes
//   'H' v:u32             a header announcing v, nothing after it
//   'B' v:u32 f:u8        a header announcing v, then v bytes f when v is at most
//                         kMaxFill and the script stays within kMaxStream, 16 otherwise
//   'W' n:u8              wait n ticks
//   'L' n:u8              wait n * 143 ticks (about n seconds)
//   'C' n:u8              from here on, send in pieces of n bytes a tick apart (0: whole)
//   'X'                   close the connection; the script ends there
// Any other byte is skipped. Without 'X' the connection is closed a tick
// after the last send when `close_at_end`, and otherwise stays open.
inline Script parse_script(Reader& in, bool close_at_end) {
    Script s;
    Duration now{};
    std::size_t piece = 0;
    std::size_t sent = 0;
    const auto send = [&](Bytes bytes) {
        sent += bytes.size();
        for (std::size_t i = 0; i < bytes.size();) {
            if (i) now += kTick;
            // Past the bound on chunks, the rest goes at once.
            const bool whole = piece == 0 || s.chunks.size() >= kMaxChunks;
            const std::size_t n = whole ? bytes.size() - i : std::min(piece, bytes.size() - i);
            s.chunks.push_back({now, Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(i),
                                           bytes.begin() + static_cast<std::ptrdiff_t>(i + n))});
            i += n;
        }
    };
    while (!in.done()) {
        switch (in.byte()) {
            case 'P': {
                const auto payload = in.take(in.be(2));
                Bytes b;
                append_header(b, static_cast<std::uint32_t>(payload.size()));
                b.insert(b.end(), payload.begin(), payload.end());
                send(std::move(b));
                break;
            }
            case 'R': {
                const auto raw = in.take(in.byte());
                send(Bytes(raw.begin(), raw.end()));
                break;
            }
            case 'H': {
                Bytes b;
                append_header(b, in.be(4));
                send(std::move(b));
                break;
            }
            case 'B': {
                const std::uint32_t v = in.be(4);
                Bytes b;
                append_header(b, v);
                const bool whole = v <= kMaxFill && sent + 4 + v <= kMaxStream;
                b.resize(4 + (whole ? v : 16), in.byte());
                send(std::move(b));
                break;
            }
            case 'W': now += in.byte() * kTick; break;
            case 'L': now += in.byte() * 143 * kTick; break;
            case 'C': piece = in.byte(); break;
            case 'X': s.close_at = now; return s;
            default: break;
        }
    }
    if (close_at_end) s.close_at = now + kTick;
    return s;
}

// What a packet reader must report next, and the moment it can first know:
// a whole packet, a rejected header (consumed, reading goes on after it), or
// the end of the stream (final).
struct FrameEvent {
    enum Kind { Packet, ZeroLength, Oversized, Eof } kind;
    Duration known_at;
    Bytes payload;
    std::uint32_t announced = 0;
};

// The events of the whole script, in order (at most max_events); without a
// close the list ends where the bytes run out, and a reader waits there for ever.
inline std::vector<FrameEvent> frame_events(const Script& s, std::size_t max_events = kMaxEvents) {
    const Bytes all = s.stream();
    const Arrivals arrival(s);
    std::vector<FrameEvent> out;
    std::size_t pos = 0;
    const auto eof = [&] {
        if (s.close_at) out.push_back({FrameEvent::Eof, *s.close_at, {}, 0});
    };
    while (out.size() < max_events) {
        if (all.size() - pos < 4) {
            eof();
            return out;
        }
        const std::uint32_t n = (std::uint32_t{all[pos]} << 24) | (std::uint32_t{all[pos + 1]} << 16) |
                                (std::uint32_t{all[pos + 2]} << 8) | all[pos + 3];
        if (n == 0 || n > MAX_PACKET_SIZE) {
            out.push_back({n == 0 ? FrameEvent::ZeroLength : FrameEvent::Oversized, arrival.of(pos + 3), {}, n});
            pos += 4;
            continue;
        }
        if (all.size() - pos - 4 < n) {
            eof();
            return out;
        }
        out.push_back({FrameEvent::Packet, arrival.of(pos + 3 + n),
                       Bytes(all.begin() + static_cast<std::ptrdiff_t>(pos + 4),
                             all.begin() + static_cast<std::ptrdiff_t>(pos + 4 + n)),
                       n});
        pos += 4 + n;
    }
    return out;
}

// The message a reader reports for a rejected header or the end of the stream.
inline std::string event_message(const FrameEvent& e) {
    switch (e.kind) {
        case FrameEvent::ZeroLength: return "Protocol error: Received zero-length packet";
        case FrameEvent::Oversized:
            return "Protocol error: Packet size " + std::to_string(e.announced) + " exceeds maximum 523264";
        case FrameEvent::Eof: return "I/O error: early eof";
        case FrameEvent::Packet: break;
    }
    return {};
}

// A fresh runtime per input: nothing carries from one input to the next, and
// the virtual clock never runs far from its start.
inline std::unique_ptr<Runtime> fresh_runtime() {
    auto rt = Runtime::create(std::make_unique<VirtualClock>(Duration::zero()));
    if (!rt) violated("runtime", rt.error().message());
    return std::move(*rt);
}

// Both ends of a connection, each driven by the runtime.
struct Pipe {
    TcpStream near;                // the client's end
    std::optional<TcpStream> far;  // the script's end; none once closed
    Bytes received;                // what the client sent, as far as taken off the far end

    static Pipe make() {
        int sv[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, sv) != 0) violated("socketpair");
        return {TcpStream(Fd(sv[0])), TcpStream(Fd(sv[1])), {}};
    }

    // Takes what the client has sent so far off the far end.
    void take() {
        std::uint8_t buf[4096];
        for (;;) {
            const ssize_t n = ::recv(far->fd(), buf, sizeof buf, 0);
            if (n <= 0) return;
            received.insert(received.end(), buf, buf + n);
        }
    }
    // Closing with unread bytes would reset the connection; a server that
    // closes after reading everything ends it cleanly.
    void close() {
        take();
        far.reset();
    }
    const Bytes& sent_by_client() {
        if (far) take();
        return received;
    }
};

// Sends the script's chunks on the far end at their instants, then closes it
// if the script says so. The client may stop reading at any point; the
// player is then dropped wherever it stands.
inline Task<void> play(Pipe& pipe, const Script& s) {
    Runtime& rt = Runtime::current();
    const Instant start = rt.now();
    for (const Chunk& c : s.chunks) {
        co_await rt.reactor().sleep_until(start + c.at);
        if (!co_await pipe.far->write_all(c.bytes)) co_return;
    }
    if (!s.close_at) co_return;
    co_await rt.reactor().sleep_until(start + *s.close_at);
    pipe.close();
}

// `op` with the script playing beside it; ends when `op` ends.
template <class T>
Task<T> alongside(Task<T> op, Task<void> side) {
    side.start();
    co_return co_await op;
}

}  // namespace kelpie::fuzz
