// Shared pieces of the unit tests: runtimes on either clock, socket pairs whose
// far end the test drives with plain blocking calls, and a loopback listener.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "net/tcp_stream.hpp"
#include "protocol/packet.hpp"
#include "runtime/runtime.hpp"

namespace kelpie::test {

inline Bytes bytes_of(std::string_view s) { return Bytes(s.begin(), s.end()); }

inline Bytes concat(std::initializer_list<std::span<const std::uint8_t>> parts) {
    Bytes out;
    for (auto p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// The header the framing puts before `len` payload bytes.
inline Bytes header(std::uint32_t len) {
    return {std::uint8_t(len >> 24), std::uint8_t(len >> 16), std::uint8_t(len >> 8), std::uint8_t(len)};
}

inline Bytes frame(std::span<const std::uint8_t> payload) {
    return concat({header(static_cast<std::uint32_t>(payload.size())), payload});
}

struct VirtualRuntime {
    VirtualClock* clock;
    std::unique_ptr<Runtime> rt;
};

inline VirtualRuntime virtual_runtime(Duration settle = std::chrono::milliseconds(30),
                                      std::unique_ptr<BlockingPool> pool = nullptr) {
    auto clock = std::make_unique<VirtualClock>(settle);
    VirtualClock* raw = clock.get();
    auto rt = Runtime::create(std::move(clock), std::move(pool));
    if (!rt) throw std::runtime_error(rt.error().message());
    return {raw, std::move(*rt)};
}

inline std::unique_ptr<Runtime> real_runtime() {
    auto rt = Runtime::create();
    if (!rt) throw std::runtime_error(rt.error().message());
    return std::move(*rt);
}

// Blocking reads on the test's side give up after a few seconds, so a fault
// in the code under test fails the test instead of hanging it.
inline void bound_reads(int fd) {
    timeval tv{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

// False when the other end went away first (peer threads must not throw).
inline bool send_all(int fd, std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n <= 0) return false;
        bytes = bytes.subspan(static_cast<std::size_t>(n));
    }
    return true;
}

inline Bytes read_until_eof(int fd) {
    Bytes out;
    std::uint8_t buf[65536];
    for (;;) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return out;  // end of stream, or the peer's patience ran out
        out.insert(out.end(), buf, buf + n);
    }
}

// Bytes waiting unread in the receive queue of fd.
inline int pending(int fd) {
    int n = -1;
    ::ioctl(fd, FIONREAD, &n);
    return n;
}

// `near` is what the code under test drives; `far` is the test's blocking end.
struct SocketPair {
    TcpStream near;
    Fd far;

    // SOCK_SEQPACKET keeps the boundaries of each send, for tests that count them.
    static SocketPair make(int type = SOCK_STREAM) {
        int sv[2];
        if (::socketpair(AF_UNIX, type | SOCK_CLOEXEC, 0, sv) != 0) throw std::runtime_error("socketpair");
        Fd near(sv[0]), far(sv[1]);
        ::fcntl(near.get(), F_SETFL, ::fcntl(near.get(), F_GETFL) | O_NONBLOCK);
        bound_reads(far.get());
        return {TcpStream(std::move(near)), std::move(far)};
    }
};

// A loopback TCP listener on a free port, or on `port` again after an earlier
// listener there was closed (connections it accepted may still be open); a
// negative backlog leaves the port bound but not listening, so connections to
// it are refused.
class Listener {
public:
    explicit Listener(int backlog = 16, std::uint16_t port = 0) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof sa;
        const int on = 1;
        ::setsockopt(fd_.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (::bind(fd_.get(), reinterpret_cast<sockaddr*>(&sa), len) != 0 || (backlog >= 0 && ::listen(fd_.get(), backlog) != 0) ||
            ::getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&sa), &len) != 0)
            throw std::runtime_error("listener");
        port_ = ntohs(sa.sin_port);
        bound_reads(fd_.get());  // accept waits no longer than a read
    }
    std::uint16_t port() const { return port_; }
    std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
    int fd() const { return fd_.get(); }
    // Frees the port: later connection attempts are refused.
    void close() { fd_.reset(); }
    Fd accept() {
        Fd c(::accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (c) bound_reads(c.get());
        return c;
    }

private:
    Fd fd_;
    std::uint16_t port_ = 0;
};

inline std::size_t thread_count() {
    std::size_t n = 0;
    for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator("/proc/self/task")) ++n;
    return n;
}

// The thread count once it reaches `expected`, or after 200 ms. A joined
// thread has finished, but the kernel may list it under /proc a moment
// longer (seen under valgrind), which says nothing about the code under test.
inline std::size_t settled_thread_count(std::size_t expected) {
    std::size_t n = thread_count();
    for (int i = 0; i < 20 && n != expected; ++i) {
        ::usleep(10000);
        n = thread_count();
    }
    return n;
}

inline double real_seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// An operation that gathers an Output, as one that returns its text.
inline Task<Result<std::string>> as_text(Task<Result<Output>> op) {
    auto r = co_await std::move(op);
    if (!r) co_return fail(std::move(r.error()));
    co_return r->str();
}

}  // namespace kelpie::test
