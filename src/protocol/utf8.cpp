#include "protocol/utf8.hpp"

#include <algorithm>

namespace kelpie {

namespace {

bool is_cont(std::uint8_t b) { return (b & 0xC0) == 0x80; }

// Allowed range of the second byte for a given lead byte; excludes overlongs,
// surrogates and code points above U+10FFFF.
bool second_ok(std::uint8_t lead, std::uint8_t b) {
    switch (lead) {
        case 0xE0: return b >= 0xA0 && b <= 0xBF;
        case 0xED: return b >= 0x80 && b <= 0x9F;
        case 0xF0: return b >= 0x90 && b <= 0xBF;
        case 0xF4: return b >= 0x80 && b <= 0x8F;
        default: return is_cont(b);
    }
}

int width_of(std::uint8_t lead) {
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    return 0;
}

// Length of the well-formed sequence at bytes[i], or the failure found there.
struct Step {
    std::size_t len;
    std::optional<Utf8Failure> failure;
};

Step step_at(std::span<const std::uint8_t> bytes, std::size_t i) {
    const std::uint8_t lead = bytes[i];
    const int width = width_of(lead);
    if (width == 1) return {1, std::nullopt};
    if (width == 0) return {0, Utf8Failure{i, 1}};
    const std::size_t avail = bytes.size() - i;
    for (int k = 1; k < width; ++k) {
        if (static_cast<std::size_t>(k) >= avail) return {0, Utf8Failure{i, std::nullopt}};
        const std::uint8_t b = bytes[i + static_cast<std::size_t>(k)];
        const bool ok = k == 1 ? second_ok(lead, b) : is_cont(b);
        if (!ok) return {0, Utf8Failure{i, static_cast<std::uint8_t>(k)}};
    }
    return {static_cast<std::size_t>(width), std::nullopt};
}

}  // namespace

namespace {

// The length of the well-formed multi-byte sequence at p, or 0 when there
// is none (step_at then tells why): the common cases with few branches.
std::size_t well_formed_at(const std::uint8_t* p, std::size_t avail) {
    const std::uint8_t lead = p[0];
    if (lead < 0xC2) return 0;
    if (lead < 0xE0) return avail >= 2 && is_cont(p[1]) ? 2 : 0;
    if (lead < 0xF0) {
        if (avail < 3 || !is_cont(p[1]) || !is_cont(p[2])) return 0;
        // No overlong forms (E0 80..9F) and no surrogates (ED A0..BF).
        if ((lead == 0xE0 && p[1] < 0xA0) || (lead == 0xED && p[1] >= 0xA0)) return 0;
        return 3;
    }
    return avail >= 4 && step_at(std::span(p, 4), 0).len == 4 ? 4 : 0;
}

char32_t max_char_of(std::uint8_t top_lead) {
    if (top_lead < 0xC2) return 0x7F;
    if (top_lead < 0xC4) return 0xFF;
    if (top_lead < 0xF0) return 0xFFFF;
    return 0x10FFFF;
}

}  // namespace

std::optional<Utf8Failure> check_and_measure_utf8_scalar(std::span<const std::uint8_t> bytes, TextShape& shape) {
    constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
    const std::uint8_t* p = bytes.data();
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    // The shape comes from two counts kept where the characters are
    // stepped over anyway: ASCII runs add nothing to them.
    std::size_t continuations = 0;
    std::uint8_t top_lead = 0;
    std::optional<Utf8Failure> failure;
    while (i < n) {
        // ASCII runs dominate device output; skip them 32 bytes, then a word, at a time.
        while (i + 32 <= n) {
            std::uint64_t w[4];
            __builtin_memcpy(w, p + i, 32);
            if ((w[0] | w[1] | w[2] | w[3]) & kHigh) break;
            i += 32;
        }
        while (i + 8 <= n) {
            std::uint64_t w;
            __builtin_memcpy(&w, p + i, 8);
            if (w & kHigh) break;
            i += 8;
        }
        // Text with characters mixed in goes a byte at a time for a while
        // before the skips are tried again, or short words between the
        // characters would cost a failed skip each.
        for (const std::size_t stop = std::min(n, i + 16); i < stop;) {
            const std::uint8_t lead = p[i];
            if (lead < 0x80) {
                ++i;
                continue;
            }
            const std::size_t len = well_formed_at(p + i, n - i);
            if (!len) {
                failure = step_at(bytes, i).failure;
                break;
            }
            continuations += len - 1;
            if (lead > top_lead) top_lead = lead;
            i += len;
        }
        if (failure) break;
    }
    const std::size_t valid = failure ? failure->valid_up_to : n;
    shape = TextShape{valid - continuations, max_char_of(top_lead)};
    return failure;
}

std::optional<Utf8Failure> find_utf8_failure(std::span<const std::uint8_t> bytes) {
    TextShape shape;
    return check_and_measure_utf8(bytes, shape);
}

std::size_t incomplete_tail(std::span<const std::uint8_t> bytes) {
    const std::size_t n = bytes.size();
    for (std::size_t k = 1; k <= std::min<std::size_t>(n, 3); ++k) {
        const std::uint8_t b = bytes[n - k];
        if (b < 0x80) return 0;
        if (is_cont(b)) continue;
        // A lead byte starts a character of its own whatever came before it.
        const auto failure = find_utf8_failure(bytes.last(k));
        return failure && !failure->error_len ? k : 0;
    }
    return 0;
}

void append_lossy(std::string& out, std::span<const std::uint8_t> bytes) {
    static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
    while (!bytes.empty()) {
        const auto failure = find_utf8_failure(bytes);
        const std::size_t good = failure ? failure->valid_up_to : bytes.size();
        out.append(reinterpret_cast<const char*>(bytes.data()), good);
        if (!failure) return;
        out.append(kReplacement);
        const std::size_t skip = failure->error_len ? *failure->error_len : bytes.size() - good;
        bytes = bytes.subspan(good + skip);
    }
}

namespace {

bool is_white_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
           c == 0x3000;
}

// Decodes the code point starting at text[i] (valid UTF-8 assumed).
char32_t decode_at(std::string_view text, std::size_t i, std::size_t& len) {
    const auto b0 = static_cast<std::uint8_t>(text[i]);
    const int width = width_of(b0);
    len = width ? static_cast<std::size_t>(width) : 1;
    if (width <= 1 || i + len > text.size()) return b0;
    char32_t c = b0 & (0xFF >> (width + 1));
    for (std::size_t k = 1; k < len; ++k) c = (c << 6) | (static_cast<std::uint8_t>(text[i + k]) & 0x3F);
    return c;
}

}  // namespace

std::string_view trim_white_space(std::string_view text) {
    std::size_t begin = 0;
    while (begin < text.size()) {
        std::size_t len;
        if (!is_white_space(decode_at(text, begin, len))) break;
        begin += len;
    }
    std::size_t end = text.size();
    while (end > begin) {
        std::size_t start = end - 1;
        while (start > begin && (static_cast<std::uint8_t>(text[start]) & 0xC0) == 0x80) --start;
        std::size_t len;
        if (!is_white_space(decode_at(text, start, len))) break;
        end = start;
    }
    return text.substr(begin, end - begin);
}

}  // namespace kelpie
