// Decoding of UTF-8 that has already been checked, into fixed-width characters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kelpie {

// Decodes the well-formed UTF-8 in [begin, end) backwards, each character
// into one Char, so that the last character lands just before `to`; returns
// where the first one landed. Going from the end lets a caller that knows the
// character count fill a string from its end while it gives back the text
// behind it. Char must be wide enough for every character of the text.
template <typename Char>
Char* decode_utf8_backward(const std::uint8_t* begin, const std::uint8_t* end, Char* to) {
    constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
    while (end != begin) {
        // Words of ASCII between the characters are widened whole.
        if (end - begin >= 8) {
            std::uint64_t word;
            std::memcpy(&word, end - 8, 8);
            if (!(word & kHigh)) {
                end -= 8;
                to -= 8;
                for (int k = 0; k < 8; ++k) to[k] = static_cast<Char>(end[k]);
                continue;
            }
        }
        std::uint8_t b = *--end;
        if (b < 0x80) {
            *--to = static_cast<Char>(b);
            continue;
        }
        // Continuation bytes carry six bits each, the last one the lowest.
        char32_t c = b & 0x3F;
        int shift = 6;
        while (((b = *--end) & 0xC0) == 0x80) {
            c |= static_cast<char32_t>(b & 0x3F) << shift;
            shift += 6;
        }
        // The lead byte: 110xxxxx, 1110xxxx or 11110xxx.
        const std::uint8_t lead_bits = shift == 6 ? 0x1F : shift == 12 ? 0x0F : 0x07;
        *--to = static_cast<Char>(c | static_cast<char32_t>(b & lead_bits) << shift);
    }
    return to;
}

}  // namespace kelpie
