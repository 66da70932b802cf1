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

}  // namespace kelpie
