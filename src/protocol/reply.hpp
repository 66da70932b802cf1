// Reply packets: an optional 2-byte command code, then UTF-8 text.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "error.hpp"
#include "protocol/packet.hpp"

namespace kelpie {

// True for the command codes the server prefixes replies with.
bool is_command_code(std::uint16_t code);

// The payload without its command code, when it starts with a recognised one.
std::span<const std::uint8_t> reply_text_bytes(std::span<const std::uint8_t> payload);

// Strict decoding of one reply's text bytes; Utf8 carries the bytes on failure.
Result<std::string> decode_strict(std::span<const std::uint8_t> text);

// Decodes the replies of one collecting operation into one output. A UTF-8
// sequence cut between two replies (output is split into packets by byte
// count) is joined: the incomplete tail of one reply waits for the next.
class ReplyJoiner {
public:
    // Appends this reply's text to out and returns how many bytes it added
    // (0 when the reply held only part of a character). Invalid bytes fail
    // with Utf8 over the carried bytes and this reply's bytes.
    Result<std::size_t> append(std::string& out, std::span<const std::uint8_t> text);
    // Lenient variant: invalid sequences become U+FFFD; a carried tail joins in.
    std::size_t append_lossy(std::string& out, std::span<const std::uint8_t> text);
    // The collection ends: bytes still carried are an incomplete sequence.
    Result<void> finish() const;
    bool carrying() const { return carry_len_ != 0; }

private:
    std::uint8_t carry_[3] = {};
    std::size_t carry_len_ = 0;
};

}  // namespace kelpie
