// Decoding checked UTF-8 backwards into fixed-width characters: the scalar
// way, and a way that widens runs of ASCII 16 bytes at a time with SSE2.
#include <cstring>

#include "protocol/utf8.hpp"

#if defined(__i386__) || defined(__x86_64__)
#include <emmintrin.h>
#define KELPIE_DECODE_SSE2 1
#endif

namespace kelpie {
namespace {

// The character that ends just before `end` and is not ASCII: its lead byte
// (110xxxxx, 1110xxxx or 11110xxx) is one, two or three bytes before its last
// byte, and every byte after the lead carries six bits, the last the lowest.
template <typename Char>
[[gnu::always_inline]] inline void decode_multibyte_before(const std::uint8_t*& end, Char*& to) {
    char32_t c = end[-1] & 0x3F;
    const std::uint8_t b1 = end[-2];
    if (b1 >= 0xC0) {
        c |= static_cast<char32_t>(b1 & 0x1F) << 6;
        end -= 2;
    } else {
        c |= static_cast<char32_t>(b1 & 0x3F) << 6;
        const std::uint8_t b2 = end[-3];
        if (b2 >= 0xC0) {
            c |= static_cast<char32_t>(b2 & 0x0F) << 12;
            end -= 3;
        } else {
            c |= static_cast<char32_t>(b2 & 0x3F) << 12 | static_cast<char32_t>(end[-4] & 0x07) << 18;
            end -= 4;
        }
    }
    *--to = static_cast<Char>(c);
}

// The ASCII byte just before `end`, with the word of eight bytes it ends
// widened whole when all of them are ASCII.
template <typename Char>
[[gnu::always_inline]] inline void decode_ascii_before(const std::uint8_t* begin, const std::uint8_t*& end, Char*& to) {
    constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
    if (end - begin >= 8) {
        std::uint64_t word;
        std::memcpy(&word, end - 8, 8);
        if (!(word & kHigh)) {
            end -= 8;
            to -= 8;
            for (int k = 0; k < 8; ++k) to[k] = static_cast<Char>(end[k]);
            return;
        }
    }
    --end;
    *--to = static_cast<Char>(*end);
}

template <typename Char>
Char* decode_scalar(const std::uint8_t* begin, const std::uint8_t* end, Char* to) {
    while (end != begin) {
        if (end[-1] < 0x80) {
            decode_ascii_before(begin, end, to);
        } else {
            decode_multibyte_before(end, to);
        }
    }
    return to;
}

#ifdef KELPIE_DECODE_SSE2
// The 16 bytes of `v`, each below 0x80, as 16 characters at `to`.
__attribute__((target("sse2"))) inline void store_widened(__m128i v, std::uint8_t* to) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to), v);
}
__attribute__((target("sse2"))) inline void store_widened(__m128i v, std::uint16_t* to) {
    const __m128i zero = _mm_setzero_si128();
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to), _mm_unpacklo_epi8(v, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to + 8), _mm_unpackhi_epi8(v, zero));
}
__attribute__((target("sse2"))) inline void store_widened(__m128i v, std::uint32_t* to) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i low = _mm_unpacklo_epi8(v, zero);
    const __m128i high = _mm_unpackhi_epi8(v, zero);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to), _mm_unpacklo_epi16(low, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to + 4), _mm_unpackhi_epi16(low, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to + 8), _mm_unpacklo_epi16(high, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to + 12), _mm_unpackhi_epi16(high, zero));
}

// With this many bytes left, at least 20 characters lie before `to` (a
// character is at most 4 bytes), so a vector whose last bytes are ASCII can
// be widened and stored whole: the characters it gets wrong, for the bytes
// before its last run of ASCII, are inside the string and written again,
// rightly, as the decode goes on.
constexpr std::ptrdiff_t kStoreWhole = 80;

template <typename Char>
__attribute__((target("sse2"))) Char* decode_sse2(const std::uint8_t* begin, const std::uint8_t* end, Char* to) {
    while (end - begin >= kStoreWhole) {
        if (end[-1] >= 0x80) {
            decode_multibyte_before(end, to);
            continue;
        }
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(end - 16));
        const unsigned high = static_cast<unsigned>(_mm_movemask_epi8(v));
        store_widened(v, to - 16);
        // All 16 ASCII, or the ones after the last byte that is not.
        const int ascii = high ? __builtin_clz(high) - 16 : 16;
        end -= ascii;
        to -= ascii;
    }
    return decode_scalar(begin, end, to);
}
#endif

template <typename Char>
Char* decode_with(Utf8Check way, const std::uint8_t* begin, const std::uint8_t* end, Char* to) {
#ifdef KELPIE_DECODE_SSE2
    if (way != Utf8Check::scalar && utf8_check_available(Utf8Check::sse2)) return decode_sse2(begin, end, to);
#endif
    return decode_scalar(begin, end, to);
}

}  // namespace

std::uint8_t* decode_utf8_backward(const std::uint8_t* begin, const std::uint8_t* end, std::uint8_t* to) {
    return decode_with(Utf8Check::sse2, begin, end, to);
}
std::uint16_t* decode_utf8_backward(const std::uint8_t* begin, const std::uint8_t* end, std::uint16_t* to) {
    return decode_with(Utf8Check::sse2, begin, end, to);
}
std::uint32_t* decode_utf8_backward(const std::uint8_t* begin, const std::uint8_t* end, std::uint32_t* to) {
    return decode_with(Utf8Check::sse2, begin, end, to);
}

std::uint8_t* decode_utf8_backward_with(Utf8Check way, const std::uint8_t* begin, const std::uint8_t* end,
                                        std::uint8_t* to) {
    return decode_with(way, begin, end, to);
}
std::uint16_t* decode_utf8_backward_with(Utf8Check way, const std::uint8_t* begin, const std::uint8_t* end,
                                         std::uint16_t* to) {
    return decode_with(way, begin, end, to);
}
std::uint32_t* decode_utf8_backward_with(Utf8Check way, const std::uint8_t* begin, const std::uint8_t* end,
                                         std::uint32_t* to) {
    return decode_with(way, begin, end, to);
}

}  // namespace kelpie
