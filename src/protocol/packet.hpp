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
#include "protocol/byte_buffer.hpp"
#include "protocol/output.hpp"
#include "runtime/clock.hpp"
#include "runtime/task.hpp"

namespace kelpie {

inline constexpr std::size_t MAX_PACKET_SIZE = 523264;  // 511 KiB, in both directions

using Bytes = std::vector<std::uint8_t>;

// Where the text of an operation that gathers many replies goes once it
// outgrows the receive buffer: `ascii` while every byte so far is ASCII,
// `other` from the first one that is not (null: the system's memory). When
// both are null the receive buffer itself grows, as it does for packets.
struct TextMemory {
    std::shared_ptr<BufferMemory> ascii;
    std::shared_ptr<BufferMemory> other;

    bool empty() const { return !ascii && !other; }
};

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
    std::size_t capacity() const { return buffer_.capacity(); }

    // Makes room for the largest packet there is, before an operation that
    // gathers many replies asks for them: from then on, growth that fails
    // costs the text, never a packet, and the operation still reads its
    // replies to their end. False when not even that room can be had; then
    // nothing should be asked of the peer.
    [[nodiscard]] bool reserve_packet();

    // Text kept in place. An operation that gathers many replies keeps their
    // text at the front of the receive buffer, moved down over the headers
    // and command codes, and the buffer grows behind it: the output is
    // received once and copied once more, into the caller's string.
    // Once it outgrows the receive buffer the text moves to a block of
    // `memory` (the small receive buffer waits for the operation's end).
    void start_text(const TextMemory& memory = {});
    // A byte beyond ASCII has arrived: text that moved to ASCII-only memory
    // moves on to the memory for other text.
    void text_not_ascii();
    // Moves `bytes`, which lie in the payload last returned, to the end of the text.
    void keep(std::span<const std::uint8_t> bytes);
    // Appends bytes from elsewhere to the text.
    void keep_copy(std::span<const std::uint8_t> bytes);
    // The text so far; once lost, only the bytes kept since the last trim.
    std::span<const std::uint8_t> text() const { return {buffer_.data(), text_end_}; }
    // Shortens the text to its first `size` bytes.
    void cut_text(std::size_t size) { text_end_ = size; }
    // Memory ran out while the text grew, or the text was given up: it was
    // dropped but for its last few bytes (at least three, enough for a
    // character cut between replies), and from then on it is trimmed so
    // whenever room is needed. Reading goes on.
    bool text_lost() const { return text_lost_; }
    // Gives the text up as if memory had run out, keeping its last `last`
    // bytes (the reply just kept, for its caller to look at); the memory
    // behind the rest goes back at once.
    void give_up_text(std::size_t last);
    // Ends the keeping. The text leaves in an Output: a large buffer goes
    // whole, and the reader carries on in a small one with the unread bytes.
    // OutOfMemory when the output's copy or that small buffer cannot be had.
    Result<Output> take_text(const TextShape& shape);
    // Ends the keeping without an output.
    void drop_text();

    // What a reader keeps at most between two operations, unread bytes aside.
    static constexpr std::size_t kKeptBetweenCalls = 1u << 20;
    // A character cut between replies leaves at most this many bytes pending.
    static constexpr std::size_t kLongestPending = 3;

private:
    [[nodiscard]] bool make_room(std::size_t want);
    [[nodiscard]] bool make_text_room(std::size_t want);
    [[nodiscard]] bool grow_text(std::size_t more);
    [[nodiscard]] bool move_text(const std::shared_ptr<BufferMemory>& memory, std::size_t capacity);
    std::optional<ByteBuffer> return_to_receive_buffer();
    void trim_lost_text(std::size_t last = kLongestPending);
    void shrink();
    // Where reading may reuse the buffer from: after the kept text.
    std::size_t floor() const { return keeping_ ? text_end_ : 0; }

    ByteBuffer buffer_;
    // While the text has moved to memory of its own, the receive buffer
    // waits here; text_moved_ says so.
    ByteBuffer receive_buffer_;
    TextMemory text_memory_;
    std::size_t begin_ = 0;     // first unread byte
    std::size_t end_ = 0;       // one past the last received byte
    std::size_t text_end_ = 0;  // the kept text is [0, text_end_)
    bool keeping_ = false;
    bool text_lost_ = false;
    bool text_moved_ = false;
    bool text_ascii_ = true;
    bool reply_expected_ = false;
};

// Reads one packet into a buffer of its own, sized from the header after the bound check.
Task<Result<Bytes>> read_packet(TcpStream& stream, PacketReader& reader,
                                std::optional<Instant> deadline = std::nullopt);

// Frames `payload` into one buffer and writes it whole.
Task<Result<void>> write_packet(TcpStream& stream, std::span<const std::uint8_t> payload);

}  // namespace kelpie
