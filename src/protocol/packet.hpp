// Packet framing: a 4-byte big-endian payload length, then the payload.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "error.hpp"
#include "net/tcp_stream.hpp"
#include "runtime/clock.hpp"
#include "runtime/task.hpp"

namespace kelpie {

inline constexpr std::size_t MAX_PACKET_SIZE = 523264;  // 511 KiB, in both directions

using Bytes = std::vector<std::uint8_t>;

// The receive side of one connection. Bytes are read in large pieces, so a
// small reply costs one recv for header and payload together, and bulk output
// is framed in place without a copy per packet.
//
// Whatever has been received but not yet returned belongs to the connection:
// when a deadline cuts a packet short, the next read continues that same
// packet, so a time limit never leaves the stream reading payload as a header.
class PacketReader {
public:
    // The next packet's payload, valid until the next call on this reader.
    // Only Timeout keeps a partly received packet; any other failure ends it.
    Task<Result<std::span<const std::uint8_t>>> next(TcpStream& stream, std::optional<Instant> deadline);

    // The peer has just been asked for something, so nothing can be waiting
    // yet: the next read that finds its buffer empty waits for readiness
    // before its first recv instead of after a recv that finds nothing.
    // On a round trip that is one system call of four.
    void expect_reply() { reply_expected_ = true; }

    // Received bytes not yet returned; they belong to the packets to come.
    std::size_t buffered() const { return end_ - begin_; }
    bool empty() const { return begin_ == end_; }

private:
    void make_room(std::size_t want);

    std::unique_ptr<std::uint8_t[]> buffer_;
    std::size_t capacity_ = 0;
    std::size_t begin_ = 0;  // first unread byte
    std::size_t end_ = 0;    // one past the last received byte
    bool reply_expected_ = false;
};

// Reads one packet into a buffer of its own, sized from the header after the bound check.
Task<Result<Bytes>> read_packet(TcpStream& stream, PacketReader& reader,
                                std::optional<Instant> deadline = std::nullopt);

// Frames `payload` into one buffer and writes it whole.
Task<Result<void>> write_packet(TcpStream& stream, std::span<const std::uint8_t> payload);

}  // namespace kelpie
