#include "net/tcp_stream.hpp"

#include <sys/socket.h>

#include <cerrno>

#include "runtime/runtime.hpp"

namespace kelpie {

Result<void> TcpStream::watch(Reactor& reactor) {
    if (watched_) return {};
    if (auto r = reactor.watch(fd_.get()); !r) return r;
    watched_ = true;
    return {};
}

Task<Result<TcpStream>> TcpStream::connect(SocketAddress address, std::optional<Instant> deadline) {
    Reactor& reactor = Runtime::current().reactor();
    Fd fd(::socket(address.storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd) co_return fail(ClientError::os(errno));
    TcpStream stream(std::move(fd));
    if (::connect(stream.fd(), reinterpret_cast<const sockaddr*>(&address.storage), address.length) == 0)
        co_return stream;
    if (errno != EINPROGRESS) co_return fail(ClientError::os(errno));
    if (auto w = stream.watch(reactor); !w) co_return fail(std::move(w.error()));
    if (co_await reactor.writable(stream.fd(), deadline) == WaitStatus::TimedOut) co_return fail(ClientError::timeout());
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(stream.fd(), SOL_SOCKET, SO_ERROR, &err, &len) != 0) co_return fail(ClientError::os(errno));
    if (err != 0) co_return fail(ClientError::os(err));
    // Edge-triggered readiness reports writability only once the handshake
    // is done, so writable without an error means connected.
    co_return stream;
}

Result<std::optional<std::size_t>> TcpStream::try_read(std::span<std::uint8_t> buffer) {
    for (;;) {
        const ssize_t n = ::recv(fd_.get(), buffer.data(), buffer.size(), 0);
        if (n >= 0) return static_cast<std::size_t>(n);
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return std::nullopt;
        return fail(ClientError::os(errno));
    }
}

Result<std::size_t> TcpStream::try_write(std::span<const std::uint8_t> bytes) {
    for (;;) {
        const ssize_t n = ::send(fd_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n > 0) return static_cast<std::size_t>(n);
        if (n == 0) return fail(ClientError::io_text("write zero"));
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        return fail(ClientError::os(errno));
    }
}

Task<Result<std::size_t>> TcpStream::read_some(std::span<std::uint8_t> buffer, std::optional<Instant> deadline) {
    for (;;) {
        auto n = try_read(buffer);
        if (!n) co_return fail(std::move(n.error()));
        if (*n) co_return **n;
        Reactor& reactor = Runtime::current().reactor();
        if (auto w = watch(reactor); !w) co_return fail(std::move(w.error()));
        if (co_await reactor.readable(fd_.get(), deadline) == WaitStatus::TimedOut)
            co_return fail(ClientError::timeout());
    }
}

Task<Result<void>> TcpStream::write_all(std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        auto n = try_write(bytes);
        if (!n) co_return fail(std::move(n.error()));
        bytes = bytes.subspan(*n);
        if (bytes.empty()) break;
        if (*n == 0) {
            Reactor& reactor = Runtime::current().reactor();
            if (auto w = watch(reactor); !w) co_return fail(std::move(w.error()));
            co_await reactor.writable(fd_.get(), std::nullopt);
        }
    }
    co_return Result<void>{};
}

}  // namespace kelpie
