#include "protocol/packet.hpp"

#include <string>

namespace kelpie {

namespace {

// Fills buf[*filled..] to the end; end of stream inside is "early eof".
Task<Result<void>> fill(TcpStream& stream, std::span<std::uint8_t> buf, std::size_t& filled,
                        std::optional<Instant> deadline) {
    while (filled < buf.size()) {
        auto n = co_await stream.read_some(buf.subspan(filled), deadline);
        if (!n) co_return fail(std::move(n.error()));
        if (*n == 0) co_return fail(ClientError::io_text("early eof"));
        filled += *n;
    }
    co_return Result<void>{};
}

}  // namespace

Task<Result<Bytes>> read_packet(TcpStream& stream, PartialPacket& partial, std::optional<Instant> deadline) {
    auto failed = [&](ClientError e) {
        if (e.kind() != ErrorKind::Timeout) partial = PartialPacket{};
        return fail(std::move(e));
    };
    if (partial.header_len < partial.header.size()) {
        if (auto r = co_await fill(stream, partial.header, partial.header_len, deadline); !r)
            co_return failed(std::move(r.error()));
        const std::uint32_t n = (std::uint32_t{partial.header[0]} << 24) | (std::uint32_t{partial.header[1]} << 16) |
                                (std::uint32_t{partial.header[2]} << 8) | std::uint32_t{partial.header[3]};
        if (n == 0) co_return failed(ClientError::protocol("Received zero-length packet"));
        if (n > MAX_PACKET_SIZE)
            co_return failed(ClientError::protocol("Packet size " + std::to_string(n) + " exceeds maximum " +
                                                   std::to_string(MAX_PACKET_SIZE)));
        partial.payload = Bytes(n);
        partial.payload_len = 0;
    }
    if (auto r = co_await fill(stream, partial.payload, partial.payload_len, deadline); !r)
        co_return failed(std::move(r.error()));
    Bytes out = std::move(partial.payload);
    partial = PartialPacket{};
    co_return out;
}

Task<Result<void>> write_packet(TcpStream& stream, std::span<const std::uint8_t> payload) {
    const std::size_t len = payload.size();
    if (len > MAX_PACKET_SIZE)
        co_return fail(ClientError::buffer("Data size " + std::to_string(len) + " exceeds maximum packet size " +
                                           std::to_string(MAX_PACKET_SIZE)));
    Bytes frame(len + 4);
    frame[0] = static_cast<std::uint8_t>(len >> 24);
    frame[1] = static_cast<std::uint8_t>(len >> 16);
    frame[2] = static_cast<std::uint8_t>(len >> 8);
    frame[3] = static_cast<std::uint8_t>(len);
    std::copy(payload.begin(), payload.end(), frame.begin() + 4);
    co_return co_await stream.write_all(frame);
}

}  // namespace kelpie
