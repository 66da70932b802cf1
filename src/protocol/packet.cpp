#include "protocol/packet.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <utility>

#include "runtime/runtime.hpp"

namespace kelpie {

namespace {

// Enough for a command reply or several small packets in one recv.
constexpr std::size_t kInitialCapacity = 64 * 1024;

std::uint32_t decode_length(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

}  // namespace

// Ensures `want` bytes fit between begin_ and the end of the buffer; the
// unread bytes move to the front first, and the buffer grows only when a
// bound-checked packet needs more than it has.
void PacketReader::make_room(std::size_t want) {
    if (capacity_ - begin_ >= want) return;
    const std::size_t unread = end_ - begin_;
    if (capacity_ >= want) {
        std::memmove(buffer_.get(), buffer_.get() + begin_, unread);
    } else {
        const std::size_t capacity = std::max(want + kInitialCapacity, kInitialCapacity);
        auto bigger = std::make_unique_for_overwrite<std::uint8_t[]>(capacity);
        if (unread) std::memcpy(bigger.get(), buffer_.get() + begin_, unread);
        buffer_ = std::move(bigger);
        capacity_ = capacity;
    }
    begin_ = 0;
    end_ = unread;
}

Task<Result<std::span<const std::uint8_t>>> PacketReader::next(TcpStream& stream, std::optional<Instant> deadline) {
    // Whether the first recv may wait inside the kernel: a reply is awaited,
    // without a deadline, and nothing else in the runtime could run meanwhile.
    bool wait_in_recv = false;
    if (begin_ == end_) {
        begin_ = end_ = 0;
        if (std::exchange(reply_expected_, false)) {
            Reactor& reactor = Runtime::current().reactor();
            if (!deadline && reactor.quiet()) {
                wait_in_recv = true;
            } else {
                // Whatever the wait ends with, the recv below decides: bytes that
                // are there when a deadline passes still win over the deadline.
                co_await reactor.readable(stream.fd(), deadline);
            }
        }
    }
    // One loop for header and payload: a small reply usually needs a single
    // recv, and the common path neither suspends nor allocates.
    for (;;) {
        const std::size_t available = end_ - begin_;
        std::size_t want = 4;
        if (available >= 4) {
            const std::uint32_t n = decode_length(buffer_.get() + begin_);
            if (n == 0 || n > MAX_PACKET_SIZE) {
                begin_ += 4;  // the header is consumed; what follows stays unread
                if (n == 0) co_return fail(ClientError::protocol("Received zero-length packet"));
                co_return fail(ClientError::protocol("Packet size " + std::to_string(n) + " exceeds maximum " +
                                                     std::to_string(MAX_PACKET_SIZE)));
            }
            want = 4 + std::size_t{n};
            if (available >= want) {
                const std::span<const std::uint8_t> payload(buffer_.get() + begin_ + 4, n);
                begin_ += want;
                co_return payload;
            }
        }
        make_room(want);
        const std::span<std::uint8_t> room(buffer_.get() + end_, capacity_ - end_);
        auto got = std::exchange(wait_in_recv, false) ? stream.read_waiting(room) : stream.try_read(room);
        if (got && *got && **got > 0) {
            end_ += **got;
            continue;
        }
        // A dead or failing stream keeps nothing; a time limit keeps everything.
        if (!got) {
            begin_ = end_ = 0;
            co_return fail(std::move(got.error()));
        }
        if (*got) {
            begin_ = end_ = 0;
            co_return fail(ClientError::io_text("early eof"));
        }
        Reactor& reactor = Runtime::current().reactor();
        if (co_await reactor.readable(stream.fd(), deadline) == WaitStatus::TimedOut)
            co_return fail(ClientError::timeout());
    }
}

Task<Result<Bytes>> read_packet(TcpStream& stream, PacketReader& reader, std::optional<Instant> deadline) {
    auto payload = co_await reader.next(stream, deadline);
    if (!payload) co_return fail(std::move(payload.error()));
    co_return Bytes(payload->begin(), payload->end());
}

Task<Result<void>> write_packet(TcpStream& stream, std::span<const std::uint8_t> payload) {
    const std::size_t len = payload.size();
    if (len > MAX_PACKET_SIZE)
        co_return fail(ClientError::buffer("Data size " + std::to_string(len) + " exceeds maximum packet size " +
                                           std::to_string(MAX_PACKET_SIZE)));
    // Commands are short: their frame is built on the stack, so sending one
    // allocates nothing unless the socket cannot take it at once.
    std::array<std::uint8_t, 512> small;
    Bytes large;
    std::span<std::uint8_t> frame;
    if (len + 4 <= small.size()) {
        frame = std::span(small).first(len + 4);
    } else {
        large.resize(len + 4);
        frame = large;
    }
    frame[0] = static_cast<std::uint8_t>(len >> 24);
    frame[1] = static_cast<std::uint8_t>(len >> 16);
    frame[2] = static_cast<std::uint8_t>(len >> 8);
    frame[3] = static_cast<std::uint8_t>(len);
    std::copy(payload.begin(), payload.end(), frame.begin() + 4);
    // Usually the socket takes the whole frame at once; only the rest needs the waiting loop.
    auto sent = stream.try_write(frame);
    if (!sent) co_return fail(std::move(sent.error()));
    if (*sent == frame.size()) co_return Result<void>{};
    co_return co_await stream.write_all(frame.subspan(*sent));
}

}  // namespace kelpie
