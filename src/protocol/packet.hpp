// Packet framing: a 4-byte big-endian payload length, then the payload.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
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

// A packet whose reading was cut short by a deadline. The bytes received so
// far belong to the connection: the next read resumes the same packet, so a
// time limit never leaves the stream reading payload bytes as a header.
struct PartialPacket {
    std::array<std::uint8_t, 4> header{};
    std::size_t header_len = 0;
    Bytes payload;  // sized after the bound check; empty until the header is in
    std::size_t payload_len = 0;
    bool empty() const { return header_len == 0; }
};

// Reads one packet. On Timeout the partial packet is kept in `partial`; on
// every other outcome `partial` is left empty.
Task<Result<Bytes>> read_packet(TcpStream& stream, PartialPacket& partial,
                                std::optional<Instant> deadline = std::nullopt);

// Frames `payload` into one buffer and writes it whole.
Task<Result<void>> write_packet(TcpStream& stream, std::span<const std::uint8_t> payload);

}  // namespace kelpie
