#include "net/tcp_stream.hpp"

#include <fcntl.h>
#include <sys/socket.h>

#include <cerrno>

#include "runtime/runtime.hpp"

namespace kelpie {

Task<Result<TcpStream>> TcpStream::connect(SocketAddress address, std::optional<Instant> deadline) {
    Reactor& reactor = Runtime::current().reactor();
    Fd fd(::socket(address.storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd) co_return fail(ClientError::os(errno));
    TcpStream stream(std::move(fd));
    if (::connect(stream.fd(), reinterpret_cast<const sockaddr*>(&address.storage), address.length) == 0)
        co_return stream;
    if (errno != EINPROGRESS) co_return fail(ClientError::os(errno));
    auto wait = reactor.writable(stream.fd(), deadline);
    if (co_await wait == WaitStatus::TimedOut) co_return fail(ClientError::timeout());
    // A connecting socket turns writable only once the handshake is done or
    // has failed, and a failure always comes with an error report: without
    // one the socket is connected, and asking for its error would cost a call.
    if (wait.seen() & (POLLERR | POLLHUP)) {
        int err = 0;
        socklen_t len = sizeof err;
        if (::getsockopt(stream.fd(), SOL_SOCKET, SO_ERROR, &err, &len) != 0) co_return fail(ClientError::os(errno));
        if (err != 0) co_return fail(ClientError::os(err));
    }
    co_return stream;
}

Result<std::optional<std::size_t>> TcpStream::try_read(std::span<std::uint8_t> buffer) {
    for (;;) {
        const ssize_t n = ::recv(fd_.get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (n >= 0) return static_cast<std::size_t>(n);
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return std::nullopt;
        return fail(ClientError::os(errno));
    }
}

Result<std::optional<std::size_t>> TcpStream::read_waiting(std::span<std::uint8_t> buffer) {
    // Clearing O_NONBLOCK (the only status flag the socket was made with) is
    // done once; a socket that refuses it is simply read the other way.
    if (!blocking_ && ::fcntl(fd_.get(), F_SETFL, 0) == 0) blocking_ = true;
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
        const ssize_t n = ::send(fd_.get(), bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
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
                co_await reactor.writable(fd_.get(), std::nullopt);
        }
    }
    co_return Result<void>{};
}

}  // namespace kelpie
