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

// None when every byte is well-formed UTF-8.
std::optional<Utf8Failure> find_utf8_failure(std::span<const std::uint8_t> bytes);
// The same, also telling whether every byte before the failure (or of all
// the input) was ASCII.
std::optional<Utf8Failure> find_utf8_failure(std::span<const std::uint8_t> bytes, bool& ascii);

// Appends bytes to out, each invalid maximal subpart replaced by U+FFFD.
void append_lossy(std::string& out, std::span<const std::uint8_t> bytes);

// Strips characters with the Unicode White_Space property from both ends of valid UTF-8.
std::string_view trim_white_space(std::string_view text);

}  // namespace kelpie
