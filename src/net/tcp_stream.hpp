// A non-blocking TCP connection driven by the current runtime's reactor.
// Closing it (destruction) sends nothing beyond the kernel's own FIN.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "error.hpp"
#include "net/address.hpp"
#include "runtime/clock.hpp"
#include "runtime/fd.hpp"
#include "runtime/reactor.hpp"
#include "runtime/task.hpp"

namespace kelpie {

class TcpStream {
public:
    explicit TcpStream(Fd fd) : fd_(std::move(fd)) {}
    TcpStream(TcpStream&&) noexcept = default;
    TcpStream& operator=(TcpStream&&) noexcept = default;

    // Connects to one address; a deadline that passes first closes the socket and gives Timeout.
    static Task<Result<TcpStream>> connect(SocketAddress address, std::optional<Instant> deadline);

    // Reads at least one byte (0 means end of stream), waiting for readiness until the deadline.
    Task<Result<std::size_t>> read_some(std::span<std::uint8_t> buffer, std::optional<Instant> deadline);
    // Hands every byte to the socket (MSG_NOSIGNAL), waiting for room as needed.
    Task<Result<void>> write_all(std::span<const std::uint8_t> bytes);

    // The non-suspending halves of the above, for hot paths that usually
    // need no wait: one recv (0 at end of stream; none when nothing is there
    // yet) and one send (bytes accepted; 0 when the socket has no room).
    Result<std::optional<std::size_t>> try_read(std::span<std::uint8_t> buffer);
    Result<std::size_t> try_write(std::span<const std::uint8_t> bytes);
    // One recv that waits inside the kernel until bytes, the end of the
    // stream or an error arrive, for a caller with nothing else to do and no
    // deadline: one system call where readiness and a recv take two. The
    // first use makes the socket blocking; every other call here passes
    // MSG_DONTWAIT and is unaffected. None only if the socket would not block.
    Result<std::optional<std::size_t>> read_waiting(std::span<std::uint8_t> buffer);

    int fd() const { return fd_.get(); }

private:
    Fd fd_;
    bool blocking_ = false;
};

}  // namespace kelpie
