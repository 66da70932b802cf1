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
// While text is kept, a recv gets at least an eighth of the buffer (up to
// this much), so small packets do not shrink the reads to a few kilobytes.
constexpr std::size_t kMaxTextSlack = 4u << 20;
// Past this size the buffer grows by this much at a time, not by doubling:
// a 1 GiB output on a 32-bit process must not ask for 2 GiB.
constexpr std::size_t kMaxGrowth = 64u << 20;
// The largest packet with its header, and the usual room behind it; what
// is left of the text once it is lost fits in front of it.
constexpr std::size_t kPacketRoom = 4 + MAX_PACKET_SIZE + kInitialCapacity;
static_assert(kPacketRoom - (4 + MAX_PACKET_SIZE) >= PacketReader::kLongestPending);

std::uint32_t decode_length(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

}  // namespace

// Ensures `want` bytes fit between begin_ and the end of the buffer; the
// unread bytes move down first, and the buffer grows only when a
// bound-checked packet needs more than it has.
bool PacketReader::make_room(std::size_t want) {
    if (keeping_) return make_text_room(want);
    const std::size_t capacity = buffer_.capacity();
    if (capacity - begin_ >= want) return true;
    const std::size_t unread = end_ - begin_;
    if (unread) std::memmove(buffer_.data(), buffer_.data() + begin_, unread);
    begin_ = 0;
    end_ = unread;
    if (capacity >= want) return true;
    return buffer_.resize(want + kInitialCapacity, unread);
}

// The same while text is kept in front: the unread bytes move down to the
// text's end, and the buffer grows (geometrically, keeping everything) when
// that leaves too little room. When it cannot grow, the text is given up
// rather than the connection: the operation reads on to its end.
bool PacketReader::make_text_room(std::size_t want) {
    const std::size_t unread = end_ - begin_;
    const std::size_t need = want - unread;
    const std::size_t target = std::max(need, std::min(buffer_.capacity() / 8, kMaxTextSlack));
    if (buffer_.capacity() - end_ >= target) return true;
    if (text_lost_) trim_lost_text();
    if (begin_ > text_end_) {
        if (unread) std::memmove(buffer_.data() + text_end_, buffer_.data() + begin_, unread);
        begin_ = text_end_;
        end_ = begin_ + unread;
    }
    if (buffer_.capacity() - end_ >= target) return true;
    if (grow_text(target)) return true;
    if (buffer_.capacity() - end_ >= need) return true;
    return buffer_.resize(end_ + need + kInitialCapacity, end_);
}

// Grows the buffer, geometrically and keeping everything, to hold `more`
// bytes past the received ones. When memory runs out (or ran out before),
// the text is given up but for its last few bytes, and false returned.
bool PacketReader::grow_text(std::size_t more) {
    const std::size_t step = std::max({more, std::min(buffer_.capacity(), kMaxGrowth), kInitialCapacity});
    if (!text_lost_ && !text_moved_ && !text_memory_.empty()) {
        if (move_text(text_ascii_ ? text_memory_.ascii : text_memory_.other, end_ + step)) return true;
    } else if (!text_lost_ && buffer_.resize(end_ + step, end_)) {
        return true;
    }
    text_lost_ = true;
    trim_lost_text();
    return false;
}

// Keeps only the text's last `last` bytes, and moves the unread bytes after
// them. The rest of the output is only read and counted, a packet at a
// time, so the address space the text held goes back now, not when the
// operation ends, which may be many packets later.
void PacketReader::trim_lost_text(std::size_t last) {
    const std::size_t tail = std::min(text_end_, last);
    std::uint8_t* data = buffer_.data();
    if (tail) std::memmove(data, data + text_end_ - tail, tail);
    const std::size_t unread = end_ - begin_;
    if (unread) std::memmove(data + tail, data + begin_, unread);
    text_end_ = tail;
    begin_ = tail;
    end_ = tail + unread;
    buffer_.shrink_to(std::max(end_, kPacketRoom));
}

// Moves everything received so far (the text, and the unread bytes behind
// it, at the same offsets) to a block of `memory` (null: the system's) of
// `capacity` bytes. The receive buffer is set aside, not given up: the
// operation's end needs it again.
bool PacketReader::move_text(const std::shared_ptr<BufferMemory>& memory, std::size_t capacity) {
    ByteBuffer moved = memory ? ByteBuffer(memory) : ByteBuffer();
    if (!moved.resize(std::max(capacity, end_), 0)) return false;
    if (end_) std::memcpy(moved.data(), buffer_.data(), end_);
    if (!std::exchange(text_moved_, true)) receive_buffer_ = std::move(buffer_);
    buffer_ = std::move(moved);
    return true;
}

void PacketReader::text_not_ascii() {
    if (!std::exchange(text_ascii_, false) || !text_moved_ || text_lost_) return;
    if (text_memory_.ascii == text_memory_.other) return;
    // When even that cannot be had, the text stays where it is: any memory holds bytes.
    static_cast<void>(move_text(text_memory_.other, buffer_.capacity()));
}

// Back from the text's own block to the receive buffer, with the unread
// bytes; the block is handed back. None when the receive buffer has no room
// even for those: the block stays the receive buffer then.
std::optional<ByteBuffer> PacketReader::return_to_receive_buffer() {
    const std::size_t unread = end_ - begin_;
    ByteBuffer text = std::exchange(buffer_, std::move(receive_buffer_));
    text_moved_ = false;
    if (buffer_.capacity() < unread && !buffer_.resize(unread, 0)) {
        buffer_ = std::move(text);
        return std::nullopt;
    }
    if (unread) std::memcpy(buffer_.data(), text.data() + begin_, unread);
    begin_ = 0;
    end_ = unread;
    return text;
}

void PacketReader::give_up_text(std::size_t last) {
    text_lost_ = true;
    trim_lost_text(std::max(last, kLongestPending));
}

bool PacketReader::reserve_packet() {
    return buffer_.capacity() >= kPacketRoom || buffer_.resize(kPacketRoom, end_);
}

void PacketReader::start_text(const TextMemory& memory) {
    text_memory_ = memory;
    text_ascii_ = true;
    // The text starts at the front: the few unread bytes move there.
    const std::size_t unread = end_ - begin_;
    if (begin_ && unread) std::memmove(buffer_.data(), buffer_.data() + begin_, unread);
    begin_ = 0;
    end_ = unread;
    text_end_ = 0;
    keeping_ = true;
    text_lost_ = false;
}

void PacketReader::keep(std::span<const std::uint8_t> bytes) {
    if (bytes.empty()) return;
    const auto at = reinterpret_cast<std::uintptr_t>(bytes.data());
    const auto free_from = reinterpret_cast<std::uintptr_t>(buffer_.data() + text_end_);
    const auto unread_from = reinterpret_cast<std::uintptr_t>(buffer_.data() + begin_);
    if (at < free_from || at + bytes.size() > unread_from) return keep_copy(bytes);
    std::memmove(buffer_.data() + text_end_, bytes.data(), bytes.size());
    text_end_ += bytes.size();
}

void PacketReader::keep_copy(std::span<const std::uint8_t> bytes) {
    const std::size_t unread = end_ - begin_;
    if (begin_ - text_end_ < bytes.size()) {
        // Room between the text and the unread bytes, which move up behind it.
        const std::size_t gap = bytes.size() - (begin_ - text_end_);
        // Once the text is lost, what would be added is only counted.
        if (buffer_.capacity() - end_ < gap && !grow_text(gap)) return;
        if (unread) std::memmove(buffer_.data() + begin_ + gap, buffer_.data() + begin_, unread);
        begin_ += gap;
        end_ += gap;
    }
    std::memcpy(buffer_.data() + text_end_, bytes.data(), bytes.size());
    text_end_ += bytes.size();
}

Result<Output> PacketReader::take_text(const TextShape& shape) {
    keeping_ = false;
    const std::size_t size = std::exchange(text_end_, 0);
    text_memory_ = {};
    ByteBuffer storage;
    if (text_moved_) {
        // The text leaves in its own block; the reader goes back to its buffer.
        const std::size_t unread = end_ - begin_;
        auto text = return_to_receive_buffer();
        if (!text) {
            shrink();
            return fail(ClientError::out_of_memory("no room for the " + std::to_string(unread) +
                                                   " bytes received after an output of " + std::to_string(size) +
                                                   " bytes"));
        }
        text->shrink_to(size);  // the output holds its text and nothing past it
        return Output(std::move(*text), size, shape);
    }
    if (buffer_.capacity() <= kKeptBetweenCalls) {
        // A small text is copied out and the reader keeps its buffer.
        if (size && !storage.resize(size, 0))
            return fail(ClientError::out_of_memory("no room for a copy of the output's " + std::to_string(size) +
                                                   " bytes"));
        if (size) std::memcpy(storage.data(), buffer_.data(), size);
        return Output(std::move(storage), size, shape);
    }
    // A large one leaves with the whole buffer; the unread bytes (at most
    // what one recv brought past the output's end) go to a fresh small one.
    // The room kept for growth (up to kMaxGrowth) goes back first, for the
    // fresh buffer and then the caller's string to use.
    buffer_.shrink_to(end_);
    const std::size_t unread = end_ - begin_;
    const std::size_t carry_on = std::max(unread, kInitialCapacity);
    ByteBuffer fresh;
    if (!fresh.resize(carry_on, 0)) {
        // No memory even for that: give up the text; the buffer shrinks in place.
        shrink();
        return fail(ClientError::out_of_memory("no room for a receive buffer of " + std::to_string(carry_on) +
                                               " bytes to read on in after an output of " + std::to_string(size) +
                                               " bytes"));
    }
    if (unread) std::memcpy(fresh.data(), buffer_.data() + begin_, unread);
    storage = std::exchange(buffer_, std::move(fresh));
    storage.shrink_to(size);  // the output holds its text and nothing past it
    begin_ = 0;
    end_ = unread;
    return Output(std::move(storage), size, shape);
}

void PacketReader::drop_text() {
    keeping_ = false;
    text_end_ = 0;
    text_memory_ = {};
    if (text_moved_) static_cast<void>(return_to_receive_buffer());
    shrink();
}

// Back to at most kKeptBetweenCalls (or what the unread bytes need).
void PacketReader::shrink() {
    const std::size_t unread = end_ - begin_;
    if (unread) std::memmove(buffer_.data(), buffer_.data() + begin_, unread);
    begin_ = 0;
    end_ = unread;
    if (buffer_.capacity() <= kKeptBetweenCalls) return;
    // A malloc'd replacement is preferred; when even that cannot be had, the
    // mapping gives back its tail in place, which cannot fail.
    const std::size_t keep = std::max(unread, kInitialCapacity);
    if (!buffer_.resize(keep, unread)) buffer_.shrink_to(keep);
}

Task<Result<std::span<const std::uint8_t>>> PacketReader::next(TcpStream& stream, std::optional<Instant> deadline) {
    // Whether the first recv may wait inside the kernel: a reply is awaited,
    // without a deadline, and nothing else in the runtime could run meanwhile.
    bool wait_in_recv = false;
    if (begin_ == end_) {
        begin_ = end_ = floor();
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
            const std::uint32_t n = decode_length(buffer_.data() + begin_);
            if (n == 0 || n > MAX_PACKET_SIZE) {
                begin_ += 4;  // the header is consumed; what follows stays unread
                if (n == 0) co_return fail(ClientError::protocol("Received zero-length packet"));
                co_return fail(ClientError::protocol("Packet size " + std::to_string(n) + " exceeds maximum " +
                                                     std::to_string(MAX_PACKET_SIZE)));
            }
            want = 4 + std::size_t{n};
            if (available >= want) {
                const std::span<const std::uint8_t> payload(buffer_.data() + begin_ + 4, n);
                begin_ += want;
                co_return payload;
            }
        }
        if (!make_room(want)) co_return fail(ClientError::out_of_memory("no room for a packet of " + std::to_string(want) + " bytes"));
        const std::span<std::uint8_t> room(buffer_.data() + end_, buffer_.capacity() - end_);
        auto got = std::exchange(wait_in_recv, false) ? stream.read_waiting(room) : stream.try_read(room);
        if (got && *got && **got > 0) {
            end_ += **got;
            continue;
        }
        // A dead or failing stream keeps nothing; a time limit keeps everything.
        if (!got) {
            begin_ = end_ = floor();
            co_return fail(std::move(got.error()));
        }
        if (*got) {
            begin_ = end_ = floor();
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
