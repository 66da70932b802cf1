// UTF-8 as replies need it: strict validation reporting where and how it
// failed (the maximal-subpart rule), lenient decoding, and White_Space trimming.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace kelpie {

struct Utf8Failure {
    std::size_t valid_up_to;               // bytes before the offending sequence
    std::optional<std::uint8_t> error_len;  // none: the input ended inside a sequence
};

// What making a string of valid UTF-8 needs to know before it starts: how
// many characters there are, and how wide the widest is. The check learns
// both as it goes, so the string can be made in one pass at the right width.
struct TextShape {
    std::size_t chars = 0;
    // The least of 0x7F, 0xFF, 0xFFFF and 0x10FFFF that bounds every character.
    char32_t max_char = 0x7F;

    bool ascii() const { return max_char <= 0x7F; }
    void add(const TextShape& more) {
        chars += more.chars;
        if (more.max_char > max_char) max_char = more.max_char;
    }
};

// None when every byte is well-formed UTF-8.
std::optional<Utf8Failure> find_utf8_failure(std::span<const std::uint8_t> bytes);
// The same, also telling the shape of the well-formed text before the
// failure (or of all the input).
std::optional<Utf8Failure> find_utf8_failure(std::span<const std::uint8_t> bytes, TextShape& shape);

// Appends bytes to out, each invalid maximal subpart replaced by U+FFFD.
void append_lossy(std::string& out, std::span<const std::uint8_t> bytes);

// Strips characters with the Unicode White_Space property from both ends of valid UTF-8.
std::string_view trim_white_space(std::string_view text);

}  // namespace kelpie
