// The server side of the device-operation tests, played by coroutines on the
// client's own runtime: whatever the server sends goes out at a chosen instant
// of virtual time, and no outcome depends on how soon another thread runs.
#pragma once

#include <poll.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "client.hpp"
#include "fixtures.hpp"

namespace kelpie::test {

// A handshake record: the banner, four more banner bytes, channel 42, filler.
inline Bytes handshake_record(std::size_t len = HANDSHAKE_MIN_LEN, std::string_view banner = "OHOS HDC") {
    Bytes r = concat({bytes_of(banner), Bytes{0xA1, 0xA2, 0xA3, 0xA4}, Bytes{0, 0, 0, 0x2A}});
    for (std::size_t i = r.size(); i < len; ++i) r.push_back(static_cast<std::uint8_t>(0x40 + i % 64));
    r.resize(len);
    return r;
}

// The client's reply to a 44-byte record: its banner, then the key field.
inline Bytes handshake_reply(std::string_view key = {}) {
    const Bytes record = handshake_record();
    Bytes reply(record.begin(), record.begin() + BANNER_LEN);
    reply.resize(HANDSHAKE_MIN_LEN, 0);
    std::copy_n(key.begin(), std::min(key.size(), CONNECT_KEY_LEN), reply.begin() + BANNER_LEN);
    return reply;
}

// A reply payload that starts with a recognised command code.
inline Bytes coded(std::string_view text) { return concat({Bytes{1, 0}, bytes_of(text)}); }

inline Bytes frames(const std::vector<Bytes>& payloads) {
    Bytes out;
    for (const Bytes& p : payloads) out = concat({out, frame(p)});
    return out;
}

inline std::string outcome(const Result<std::string>& r) { return r ? *r : "error: " + r.error().message(); }
inline std::string outcome(const Result<Output>& r) { return r ? r->str() : "error: " + r.error().message(); }


// Runs `side` next to `op` on the same runtime and ends with `op`; `side` is
// dropped wherever it stands by then.
template <class T>
Task<T> alongside(Task<T> op, Task<void> side) {
    side.start();
    co_return co_await op;
}

inline Task<void> nothing() { co_return; }

// Accepts the next connection on the listening socket once it is there, and
// sends `greeting` (a handshake record, perhaps replies queued behind it).
inline Task<void> accept_next(int listen_fd, Fd& into, Bytes greeting) {
    Reactor& reactor = Runtime::current().reactor();
    pollfd p{listen_fd, POLLIN, 0};
    while (::poll(&p, 1, 0) != 1) co_await reactor.readable(listen_fd, std::nullopt);
    into = Fd(::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC));
    bound_reads(into.get());
    send_all(into.get(), greeting);
}

struct Step {
    Duration at;  // from the moment the steps start
    Bytes bytes;
};

inline Task<void> send_at(int fd, std::vector<Step> steps) {
    Runtime& rt = Runtime::current();
    const Instant start = rt.now();
    for (const Step& s : steps) {
        co_await rt.reactor().sleep_until(start + s.at);
        send_all(fd, s.bytes);
    }
}

inline Task<void> accept_then(int listen_fd, Fd& into, Bytes greeting, std::vector<Step> steps) {
    co_await accept_next(listen_fd, into, std::move(greeting));
    co_await send_at(into.get(), std::move(steps));
}

// The payload of the next packet the client sent; empty when none came.
inline Bytes next_packet(int fd) {
    const auto exactly = [fd](std::size_t n) {
        Bytes b(n);
        for (std::size_t got = 0; got < n;) {
            const ssize_t r = ::recv(fd, b.data() + got, n - got, 0);
            if (r <= 0) return Bytes{};
            got += static_cast<std::size_t>(r);
        }
        return b;
    };
    const Bytes h = exactly(4);
    if (h.empty()) return {};
    return exactly((std::size_t{h[0]} << 24) | (std::size_t{h[1]} << 16) | (std::size_t{h[2]} << 8) | h[3]);
}

inline std::string next_command(int fd) {
    const Bytes b = next_packet(fd);
    return std::string(b.begin(), b.end());
}

// Everything the client still sends, once it has closed its end; none when
// the stream does not end (the client kept it open).
inline std::optional<Bytes> rest_until_eof(int fd) {
    Bytes out;
    std::uint8_t buf[4096];
    for (;;) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n == 0) return out;
        if (n < 0) return std::nullopt;
        out.insert(out.end(), buf, buf + n);
    }
}

// The client holds the connection open and has sent nothing on it.
inline bool open_and_silent(int fd) {
    pollfd p{fd, POLLIN | POLLRDHUP, 0};
    return ::poll(&p, 1, 0) == 0;
}

// A client connected to a listener through the scripted server; `conn` is
// the server's end of the client's connection, its handshake reply taken off.
class ServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        Fd fd;
        auto c = run(AsyncClient::connect(address), accept_next(listener->fd(), fd, frame(handshake_record())));
        ASSERT_TRUE(c) << c.error().message();
        client.emplace(std::move(*c));
        conn = std::move(fd);
        ASSERT_EQ(next_packet(conn.get()).size(), HANDSHAKE_MIN_LEN);
    }

    template <class T>
    T run(Task<T> op) {
        return vr.rt->block_on(std::move(op));
    }
    template <class T>
    T run(Task<T> op, Task<void> side) {
        return vr.rt->block_on(alongside(std::move(op), std::move(side)));
    }
    Instant now() const { return vr.clock->now(); }
    Duration since(Instant t) const { return vr.clock->now() - t; }
    void send_raw(const Bytes& bytes) { ASSERT_TRUE(send_all(conn.get(), bytes)); }
    void queue(const std::vector<Bytes>& payloads) { send_raw(frames(payloads)); }

    VirtualRuntime vr = virtual_runtime(std::chrono::milliseconds(50));
    std::optional<Listener> listener{std::in_place};
    const std::uint16_t port = listener->port();
    const std::string address = listener->address();
    std::optional<AsyncClient> client;
    Fd conn;
};

}  // namespace kelpie::test
