// UTF-8 as replies need it: strict validation reporting where and how it
// failed (the maximal-subpart rule), lenient decoding, decoding of checked
// text into fixed-width characters, and White_Space trimming.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
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
// Checks `bytes` as find_utf8_failure does and measures the well-formed text
// before the failure (or all of it) into `shape`: its character count is what
// sizes a string the text is decoded into, and its widest character the
// string's width.
std::optional<Utf8Failure> check_and_measure_utf8(std::span<const std::uint8_t> bytes, TextShape& shape);

// The ways the check can run: a byte at a time (with words of ASCII skipped),
// or with vectors of 16 or 32 bytes. check_and_measure_utf8 takes the widest
// the processor has; each gives the same answer.
enum class Utf8Check { scalar, sse2, avx2 };
bool utf8_check_available(Utf8Check way);
// The check done `way` (the scalar way where the processor lacks it): for
// tests and fuzzing, which compare the ways.
std::optional<Utf8Failure> check_and_measure_utf8_with(Utf8Check way, std::span<const std::uint8_t> bytes,
                                                       TextShape& shape);
// How far the vectors of `way` found `bytes` well-formed (the few bytes of a
// character that the last whole vector cuts are left to the scalar check);
// none when they found an error somewhere.
std::optional<std::size_t> utf8_vector_checked(Utf8Check way, std::span<const std::uint8_t> bytes);
std::optional<Utf8Failure> check_and_measure_utf8_scalar(std::span<const std::uint8_t> bytes, TextShape& shape);

// How many bytes at the end of `bytes` begin a character without completing
// it (0 to 3): what the bytes that follow may still complete.
std::size_t incomplete_tail(std::span<const std::uint8_t> bytes);

// Appends bytes to out, each invalid maximal subpart replaced by U+FFFD.
void append_lossy(std::string& out, std::span<const std::uint8_t> bytes);

// Decodes the well-formed UTF-8 in [begin, end) backwards, each character
// into one Char, so that the last character lands just before `to`; returns
// where the first one landed. Going from the end lets a caller that knows the
// character count fill a string from its end while it gives back the text
// behind it. Char must be wide enough for every character of the text. Runs
// of ASCII are widened 16 bytes at a time with SSE2 where the processor has
// it (always on x86-64), a word at a time otherwise.
std::uint8_t* decode_utf8_backward(const std::uint8_t* begin, const std::uint8_t* end, std::uint8_t* to);
std::uint16_t* decode_utf8_backward(const std::uint8_t* begin, const std::uint8_t* end, std::uint16_t* to);
std::uint32_t* decode_utf8_backward(const std::uint8_t* begin, const std::uint8_t* end, std::uint32_t* to);
// The decode done `way` (Utf8Check::avx2 decodes as sse2; the scalar way
// where the processor lacks SSE2): for tests and fuzzing, which compare them.
std::uint8_t* decode_utf8_backward_with(Utf8Check way, const std::uint8_t* begin, const std::uint8_t* end,
                                        std::uint8_t* to);
std::uint16_t* decode_utf8_backward_with(Utf8Check way, const std::uint8_t* begin, const std::uint8_t* end,
                                         std::uint16_t* to);
std::uint32_t* decode_utf8_backward_with(Utf8Check way, const std::uint8_t* begin, const std::uint8_t* end,
                                         std::uint32_t* to);

// Strips characters with the Unicode White_Space property from both ends of valid UTF-8.
std::string_view trim_white_space(std::string_view text);

}  // namespace kelpie
