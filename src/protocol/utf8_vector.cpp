// The UTF-8 check with vector instructions: 32 bytes at a time with AVX2, 16
// with SSE2, chosen at run time (a 32-bit build cannot assume even SSE2).
//
// Each byte is judged with the three before it: the high and low halves of
// the byte before and the high half of the byte itself each name the error
// classes that pair could belong to, and a pair is in error when all three
// agree on one class; a byte that two or three places after a lead byte must
// be a continuation is checked apart (after Keiser and Lemire, "Validating
// UTF-8 in less than one instruction per byte"). The vector part only says
// whether its bytes are well-formed: on an error the scalar check runs over
// the whole text to say where, and the few bytes of a character that the
// last whole vector cuts are left to the scalar check too. Continuation
// bytes are counted and the largest byte noted on the way, which is all
// TextShape needs.
#include <algorithm>
#include <array>

#include "protocol/utf8.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define KELPIE_UTF8_VECTOR 1
#endif

namespace kelpie {

namespace {

char32_t max_char_of_byte(std::uint8_t top) {
    if (top < 0xC2) return 0x7F;  // ASCII (valid text has no continuation without a lead)
    if (top < 0xC4) return 0xFF;
    if (top < 0xF0) return 0xFFFF;
    return 0x10FFFF;
}

// Where the scalar check takes over behind `end`, the end of the last whole
// vector: at the lead byte of a character that runs past it, else at it.
std::size_t scalar_from(const std::uint8_t* p, std::size_t end) {
    for (std::size_t k = 1; k <= 3 && k <= end; ++k) {
        const std::uint8_t b = p[end - k];
        if (b < 0x80) break;
        if (b < 0xC0) continue;
        const std::size_t width = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : 2;
        return width > k ? end - k : end;
    }
    return end;
}

#ifdef KELPIE_UTF8_VECTOR

// Error classes of a byte pair; TOO_LARGE_1000 and OVERLONG_4 share a bit.
constexpr std::uint8_t kTooShort = 1 << 0;   // a lead byte not followed by a continuation
constexpr std::uint8_t kTooLong = 1 << 1;    // ASCII followed by a continuation
constexpr std::uint8_t kOverlong3 = 1 << 2;  // E0 80..9F
constexpr std::uint8_t kTooLarge = 1 << 3;   // F4 90..BF, F5.. 90..BF
constexpr std::uint8_t kSurrogate = 1 << 4;  // ED A0..BF
constexpr std::uint8_t kOverlong2 = 1 << 5;  // C0, C1
constexpr std::uint8_t kTooLarge1000 = 1 << 6;  // F5.. 80..8F
constexpr std::uint8_t kOverlong4 = 1 << 6;  // F0 80..8F
constexpr std::uint8_t kTwoConts = 1 << 7;   // a continuation after a continuation
constexpr std::uint8_t kCarry = kTooShort | kTooLong | kTwoConts;

constexpr std::array<std::uint8_t, 16> kFirstHigh = {
    kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong,
    kTwoConts, kTwoConts, kTwoConts, kTwoConts,
    kTooShort | kOverlong2,
    kTooShort,
    kTooShort | kOverlong3 | kSurrogate,
    kTooShort | kTooLarge | kTooLarge1000 | kOverlong4};
constexpr std::array<std::uint8_t, 16> kFirstLow = {
    kCarry | kOverlong3 | kOverlong2 | kOverlong4,
    kCarry | kOverlong2,
    kCarry,
    kCarry,
    kCarry | kTooLarge,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000 | kSurrogate,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000};
constexpr std::array<std::uint8_t, 16> kSecondHigh = {
    kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort,
    kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge1000 | kOverlong4,
    kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge,
    kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,
    kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,
    kTooShort, kTooShort, kTooShort, kTooShort};

// The part of the text the vectors checked: well-formed up to `checked`,
// with this shape; none when they found an error.
struct VectorPart {
    std::size_t checked = 0;
    std::size_t continuations = 0;
    std::uint8_t top = 0;
};

__attribute__((target("avx2"))) inline __m256i prev_bytes_avx2(__m256i input, __m256i prev, int n) {
    const __m256i joined = _mm256_permute2x128_si256(prev, input, 0x21);
    switch (n) {
        case 1: return _mm256_alignr_epi8(input, joined, 15);
        case 2: return _mm256_alignr_epi8(input, joined, 14);
        default: return _mm256_alignr_epi8(input, joined, 13);
    }
}

__attribute__((target("avx2"))) inline __m256i table_avx2(const std::array<std::uint8_t, 16>& t) {
    return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(t.data())));
}

// The sum of the 32 byte counts.
__attribute__((target("avx2"))) inline std::size_t sum_avx2(__m256i counts) {
    // Four sums of eight lanes each, in the low 32 bits of four 64-bit lanes.
    alignas(32) std::array<std::uint32_t, 8> sums;
    _mm256_store_si256(reinterpret_cast<__m256i*>(sums.data()), _mm256_sad_epu8(counts, _mm256_setzero_si256()));
    return std::size_t{sums[0]} + sums[2] + sums[4] + sums[6];
}

__attribute__((target("avx2"))) std::optional<VectorPart> check_avx2(const std::uint8_t* p, std::size_t n) {
    constexpr std::size_t kWidth = 32;
    const std::size_t end = n / kWidth * kWidth;
    VectorPart part;
    if (end == 0) return part;
    const std::size_t until = scalar_from(p, end);
    const __m256i first_high = table_avx2(kFirstHigh), first_low = table_avx2(kFirstLow),
                  second_high = table_avx2(kSecondHigh);
    const __m256i low_nibble = _mm256_set1_epi8(0x0F);
    // Lead bytes in the last three places that need more bytes than are left.
    const __m256i incomplete_max = _mm256_setr_epi8(
        -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
        -1, -1, static_cast<char>(0xF0 - 1), static_cast<char>(0xE0 - 1), static_cast<char>(0xC0 - 1));
    const __m256i c0 = _mm256_set1_epi8(static_cast<char>(0xC0));  // as a signed byte, -64
    __m256i prev = _mm256_setzero_si256();
    __m256i prev_incomplete = _mm256_setzero_si256();
    __m256i error = _mm256_setzero_si256();
    __m256i top = _mm256_setzero_si256();
    __m256i counts = _mm256_setzero_si256();  // continuation bytes per lane, up to 255 blocks
    std::size_t pending_blocks = 0;
    for (std::size_t at = 0; at < end; at += kWidth) {
        __m256i input = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + at));
        if (_mm256_movemask_epi8(input) == 0) {
            error = _mm256_or_si256(error, prev_incomplete);
            prev_incomplete = _mm256_setzero_si256();
            prev = input;
            continue;
        }
        const __m256i prev1 = prev_bytes_avx2(input, prev, 1);
        const __m256i b1h = _mm256_shuffle_epi8(first_high, _mm256_and_si256(_mm256_srli_epi16(prev1, 4), low_nibble));
        const __m256i b1l = _mm256_shuffle_epi8(first_low, _mm256_and_si256(prev1, low_nibble));
        const __m256i b2h = _mm256_shuffle_epi8(second_high, _mm256_and_si256(_mm256_srli_epi16(input, 4), low_nibble));
        const __m256i special = _mm256_and_si256(_mm256_and_si256(b1h, b1l), b2h);
        const __m256i third = _mm256_subs_epu8(prev_bytes_avx2(input, prev, 2), _mm256_set1_epi8(0xE0 - 0x80));
        const __m256i fourth = _mm256_subs_epu8(prev_bytes_avx2(input, prev, 3), _mm256_set1_epi8(0xF0 - 0x80));
        const __m256i must23 =
            _mm256_and_si256(_mm256_or_si256(third, fourth), _mm256_set1_epi8(static_cast<char>(0x80)));
        error = _mm256_or_si256(error, _mm256_xor_si256(must23, special));
        prev_incomplete = _mm256_subs_epu8(input, incomplete_max);
        // What the scalar check takes over is not counted here.
        if (at + kWidth > until) {
            const __m256i index = _mm256_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19,
                                                   20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31);
            const __m256i keep = _mm256_cmpgt_epi8(_mm256_set1_epi8(static_cast<char>(until - at)), index);
            input = _mm256_and_si256(input, keep);
        }
        top = _mm256_max_epu8(top, input);
        // Continuations are the bytes below C0 that are not ASCII: as signed bytes, below -64.
        counts = _mm256_sub_epi8(counts, _mm256_cmpgt_epi8(c0, input));
        if (++pending_blocks == 255) {  // before a lane's count wraps
            part.continuations += sum_avx2(counts);
            counts = _mm256_setzero_si256();
            pending_blocks = 0;
        }
        prev = input;
    }
    part.continuations += sum_avx2(counts);
    if (!_mm256_testz_si256(error, error)) return std::nullopt;
    alignas(32) std::array<std::uint8_t, 32> tops;
    _mm256_store_si256(reinterpret_cast<__m256i*>(tops.data()), top);
    part.top = *std::max_element(tops.begin(), tops.end());
    part.checked = until;
    return part;
}

// SSE2 has no byte shuffle: the three tables are read by comparing ranges.
__attribute__((target("sse2"))) inline __m128i prev_bytes_sse2(__m128i input, __m128i prev, int n) {
    switch (n) {
        case 1: return _mm_or_si128(_mm_slli_si128(input, 1), _mm_srli_si128(prev, 15));
        case 2: return _mm_or_si128(_mm_slli_si128(input, 2), _mm_srli_si128(prev, 14));
        default: return _mm_or_si128(_mm_slli_si128(input, 3), _mm_srli_si128(prev, 13));
    }
}

__attribute__((target("sse2"))) inline __m128i bits(__m128i mask, std::uint8_t value) {
    return _mm_and_si128(mask, _mm_set1_epi8(static_cast<char>(value)));
}

__attribute__((target("sse2"))) inline __m128i signed_below(__m128i v, int limit) {
    return _mm_cmplt_epi8(v, _mm_set1_epi8(static_cast<char>(limit)));
}

__attribute__((target("sse2"))) inline __m128i signed_above(__m128i v, int limit) {
    return _mm_cmpgt_epi8(v, _mm_set1_epi8(static_cast<char>(limit)));
}

// kFirstHigh: by the first byte's class, read as a signed byte.
__attribute__((target("sse2"))) inline __m128i first_high_sse2(__m128i b) {
    const __m128i ascii = signed_above(b, -1);
    const __m128i cont = signed_below(b, -64);
    const __m128i lead = _mm_andnot_si128(ascii, signed_above(b, -65));          // C0..FF
    const __m128i c = _mm_and_si128(lead, signed_below(b, -48));                    // C0..CF
    const __m128i e = _mm_and_si128(signed_above(b, -33), signed_below(b, -16));    // E0..EF
    const __m128i f = _mm_andnot_si128(ascii, signed_above(b, -17));               // F0..FF
    __m128i r = _mm_or_si128(bits(ascii, kTooLong), bits(cont, kTwoConts));
    r = _mm_or_si128(r, bits(lead, kTooShort));
    r = _mm_or_si128(r, bits(c, kOverlong2));
    r = _mm_or_si128(r, bits(e, kOverlong3 | kSurrogate));
    return _mm_or_si128(r, bits(f, kTooLarge | kTooLarge1000 | kOverlong4));
}

// kFirstLow: by the first byte's low half.
__attribute__((target("sse2"))) inline __m128i first_low_sse2(__m128i b) {
    const __m128i low = _mm_and_si128(b, _mm_set1_epi8(0x0F));
    __m128i r = _mm_set1_epi8(static_cast<char>(kCarry));
    r = _mm_or_si128(r, bits(_mm_cmpeq_epi8(low, _mm_setzero_si128()), kOverlong3 | kOverlong4));
    r = _mm_or_si128(r, bits(signed_below(low, 2), kOverlong2));
    r = _mm_or_si128(r, bits(signed_above(low, 3), kTooLarge));
    r = _mm_or_si128(r, bits(signed_above(low, 4), kTooLarge1000));
    return _mm_or_si128(r, bits(_mm_cmpeq_epi8(low, _mm_set1_epi8(0x0D)), kSurrogate));
}

// kSecondHigh: by the second byte's high half.
__attribute__((target("sse2"))) inline __m128i second_high_sse2(__m128i b) {
    const __m128i cont = signed_below(b, -64);        // 80..BF
    const __m128i below_90 = signed_below(b, -112);   // 80..8F
    const __m128i below_a0 = signed_below(b, -96);    // 80..9F
    __m128i r = _mm_andnot_si128(cont, _mm_set1_epi8(kTooShort));
    r = _mm_or_si128(r, bits(cont, kTooLong | kOverlong2 | kTwoConts));
    r = _mm_or_si128(r, bits(below_a0, kOverlong3));
    r = _mm_or_si128(r, bits(below_90, kTooLarge1000 | kOverlong4));
    r = _mm_or_si128(r, bits(_mm_andnot_si128(below_90, cont), kTooLarge));
    return _mm_or_si128(r, bits(_mm_andnot_si128(below_a0, cont), kSurrogate));
}

__attribute__((target("sse2"))) inline std::size_t sum_sse2(__m128i counts) {
    const __m128i sums = _mm_sad_epu8(counts, _mm_setzero_si128());
    return static_cast<std::size_t>(_mm_cvtsi128_si32(sums)) +
           static_cast<std::size_t>(_mm_cvtsi128_si32(_mm_srli_si128(sums, 8)));
}

__attribute__((target("sse2"))) std::optional<VectorPart> check_sse2(const std::uint8_t* p, std::size_t n) {
    constexpr std::size_t kWidth = 16;
    const std::size_t end = n / kWidth * kWidth;
    VectorPart part;
    if (end == 0) return part;
    const std::size_t until = scalar_from(p, end);
    const __m128i incomplete_max =
        _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, static_cast<char>(0xF0 - 1),
                      static_cast<char>(0xE0 - 1), static_cast<char>(0xC0 - 1));
    __m128i prev = _mm_setzero_si128();
    __m128i prev_incomplete = _mm_setzero_si128();
    __m128i error = _mm_setzero_si128();
    __m128i top = _mm_setzero_si128();
    __m128i counts = _mm_setzero_si128();
    std::size_t pending_blocks = 0;
    bool ascii_run = true;
    for (std::size_t at = 0; at < end; at += kWidth) {
        // Runs of ASCII, four vectors at a time, once one has begun (in
        // mixed text most tries would fail).
        while (ascii_run && at + 4 * kWidth <= end) {
            const auto* v = reinterpret_cast<const __m128i*>(p + at);
            const __m128i last = _mm_loadu_si128(v + 3);
            const __m128i any = _mm_or_si128(_mm_or_si128(_mm_loadu_si128(v), _mm_loadu_si128(v + 1)),
                                             _mm_or_si128(_mm_loadu_si128(v + 2), last));
            if (_mm_movemask_epi8(any) != 0) break;
            error = _mm_or_si128(error, prev_incomplete);
            prev_incomplete = _mm_setzero_si128();
            prev = last;
            at += 4 * kWidth;
        }
        if (at == end) break;
        __m128i input = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + at));
        ascii_run = _mm_movemask_epi8(input) == 0;
        if (ascii_run) {
            error = _mm_or_si128(error, prev_incomplete);
            prev_incomplete = _mm_setzero_si128();
            prev = input;
            continue;
        }
        const __m128i prev1 = prev_bytes_sse2(input, prev, 1);
        const __m128i special =
            _mm_and_si128(_mm_and_si128(first_high_sse2(prev1), first_low_sse2(prev1)), second_high_sse2(input));
        const __m128i third = _mm_subs_epu8(prev_bytes_sse2(input, prev, 2), _mm_set1_epi8(0xE0 - 0x80));
        const __m128i fourth = _mm_subs_epu8(prev_bytes_sse2(input, prev, 3), _mm_set1_epi8(0xF0 - 0x80));
        const __m128i must23 = _mm_and_si128(_mm_or_si128(third, fourth), _mm_set1_epi8(static_cast<char>(0x80)));
        error = _mm_or_si128(error, _mm_xor_si128(must23, special));
        prev_incomplete = _mm_subs_epu8(input, incomplete_max);
        if (at + kWidth > until) {
            const __m128i index = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
            input = _mm_and_si128(input, _mm_cmpgt_epi8(_mm_set1_epi8(static_cast<char>(until - at)), index));
        }
        top = _mm_max_epu8(top, input);
        counts = _mm_sub_epi8(counts, signed_below(input, -64));
        if (++pending_blocks == 255) {
            part.continuations += sum_sse2(counts);
            counts = _mm_setzero_si128();
            pending_blocks = 0;
        }
        prev = input;
    }
    part.continuations += sum_sse2(counts);
    if (_mm_movemask_epi8(_mm_cmpeq_epi8(error, _mm_setzero_si128())) != 0xFFFF) return std::nullopt;
    alignas(16) std::array<std::uint8_t, 16> tops;
    _mm_store_si128(reinterpret_cast<__m128i*>(tops.data()), top);
    part.top = *std::max_element(tops.begin(), tops.end());
    part.checked = until;
    return part;
}

#endif

Utf8Check widest_check() {
#ifdef KELPIE_UTF8_VECTOR
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) return Utf8Check::avx2;
    if (__builtin_cpu_supports("sse2")) return Utf8Check::sse2;
#endif
    return Utf8Check::scalar;
}

}  // namespace

bool utf8_check_available(Utf8Check way) {
    static const Utf8Check widest = widest_check();
    return way <= widest;
}

namespace {

std::optional<VectorPart> vector_part(Utf8Check way, std::span<const std::uint8_t> bytes) {
#ifdef KELPIE_UTF8_VECTOR
    if (way == Utf8Check::avx2 && utf8_check_available(way)) return check_avx2(bytes.data(), bytes.size());
    if (way == Utf8Check::sse2 && utf8_check_available(way)) return check_sse2(bytes.data(), bytes.size());
#else
    static_cast<void>(way);
    static_cast<void>(bytes);
#endif
    return VectorPart{};
}

}  // namespace

std::optional<std::size_t> utf8_vector_checked(Utf8Check way, std::span<const std::uint8_t> bytes) {
    const auto part = vector_part(way, bytes);
    return part ? std::optional(part->checked) : std::nullopt;
}

std::optional<Utf8Failure> check_and_measure_utf8_with(Utf8Check way, std::span<const std::uint8_t> bytes,
                                                       TextShape& shape) {
    const std::optional<VectorPart> part = vector_part(way, bytes);
    // An error: the scalar check says where, and measures the text before it.
    if (!part) return check_and_measure_utf8_scalar(bytes, shape);
    TextShape rest;
    auto failure = check_and_measure_utf8_scalar(bytes.subspan(part->checked), rest);
    shape = TextShape{part->checked - part->continuations, max_char_of_byte(part->top)};
    shape.add(rest);
    if (failure) failure->valid_up_to += part->checked;
    return failure;
}

std::optional<Utf8Failure> check_and_measure_utf8(std::span<const std::uint8_t> bytes, TextShape& shape) {
    static const Utf8Check widest = widest_check();
    return check_and_measure_utf8_with(widest, bytes, shape);
}

}  // namespace kelpie
