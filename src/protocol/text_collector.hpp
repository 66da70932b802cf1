// The text of an operation that gathers many replies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "error.hpp"
#include "protocol/output.hpp"
#include "protocol/packet.hpp"
#include "protocol/utf8.hpp"

namespace kelpie {

// Decodes the replies of one collecting operation into one output, kept in
// place in the connection's receive buffer. A UTF-8 sequence cut between
// two replies (output is split into packets by byte count) is joined: the
// incomplete tail of one reply waits in the text for the next.
//
// When memory runs out, or a reply is not valid UTF-8, the text is dropped
// but the replies are still read and counted, so the operation ends where it
// would have ended and the connection stays in step; the operation then ends
// in whichever of OutOfMemory and Utf8 came first.
class TextCollector {
public:
    // A large text moves to `memory` once it outgrows the receive buffer.
    explicit TextCollector(PacketReader& reader, const TextMemory& memory = {}) : reader_(reader) {
        reader_.start_text(memory);
    }
    ~TextCollector() {
        if (!done_) reader_.drop_text();
    }
    TextCollector(const TextCollector&) = delete;
    TextCollector& operator=(const TextCollector&) = delete;

    // Appends one reply's text and returns how many bytes of text it
    // completed (0 when it held only part of a character). Invalid bytes give
    // the text up, this reply counting whole; the collection then ends in
    // Utf8 over the pending bytes followed by this reply's bytes.
    std::size_t append(std::span<const std::uint8_t> reply);
    // Lenient: each invalid sequence becomes U+FFFD; pending bytes join in.
    // A character begun at the end waits for the next reply as in append,
    // but leniently: if what follows does not complete it, or nothing does,
    // it becomes one U+FFFD, and what follows is checked by its own rule.
    void append_lossy(std::span<const std::uint8_t> bytes);

    // The complete text that the last append added.
    std::string_view last_added() const;
    // Whether the complete text ends with a line feed or a zero byte.
    bool ends_line() const { return size_ != 0 && (last_ == '\n' || last_ == '\0'); }
    // No complete text yet.
    bool empty() const { return size_ == 0; }
    // Bytes of a character still waiting for the rest of it.
    bool pending() const { return pending_ != 0; }

    // The collection ends: pending bytes are an incomplete sequence.
    Result<Output> finish();
    // The collection ends with `error`, or with what made the text lost.
    std::unexpected<ClientError> fail(ClientError error);

private:
    // Adds `bytes` to the text and returns them together with the pending
    // bytes before them; `spare` holds that joined copy when memory ran out
    // and the bytes could not join the text.
    std::span<const std::uint8_t> join(std::span<const std::uint8_t> bytes, Bytes& spare);
    ClientError lost_error() const;
    void add_shape(const TextShape& shape);
    // Replaces a lenient pending character that `next` does not go on with
    // (all of it, with none, at the end) by U+FFFD.
    void settle_lenient(std::span<const std::uint8_t> next);
    // Gives the text up for `error`, unless it is lost already, keeping the
    // last `last` bytes, which this reply added, for last_added().
    void give_up(ClientError error, std::size_t last);

    PacketReader& reader_;
    std::size_t size_ = 0;       // complete bytes, counted even when lost
    std::size_t pending_ = 0;    // bytes of an incomplete character at the text's end
    std::size_t last_added_ = 0;
    bool lenient_pending_ = false;  // the pending bytes began in a lenient append
    std::uint8_t last_ = 0;      // the last complete byte
    TextShape shape_;           // of the complete text
    std::optional<ClientError> failure_;  // what gave the text up, when not memory
    bool done_ = false;
};

}  // namespace kelpie
