// The UTF-8 check, every way it can run (a byte at a time, 16- and 32-byte
// vectors), against the independent oracle: where the text fails and how,
// and the shape of the text before the failure; the text before the failure
// decoded every way (scalar, SSE2) into each width of character it fits. The
// input is checked from each of its first 32 offsets, so every character of
// it meets every place a vector can cut it, and as two pieces joined the way the collector joins
// replies (the bytes pending after the first piece put before the second).
//
// Input: one byte (where to cut, modulo the size), then the text.
#include <algorithm>
#include <vector>

#include "harness.hpp"
#include "protocol/utf8.hpp"
#include "utf8_oracle.hpp"

namespace kelpie::fuzz {
namespace {

constexpr Utf8Check kWays[] = {Utf8Check::scalar, Utf8Check::sse2, Utf8Check::avx2};

TextShape oracle_shape(std::span<const std::uint8_t> valid) {
    const std::u32string points = oracle_code_points(std::string_view(reinterpret_cast<const char*>(valid.data()), valid.size()));
    const char32_t largest = points.empty() ? 0 : *std::max_element(points.begin(), points.end());
    return TextShape{points.size(), largest <= 0x7F     ? char32_t{0x7F}
                                    : largest <= 0xFF   ? char32_t{0xFF}
                                    : largest <= 0xFFFF ? char32_t{0xFFFF}
                                                        : char32_t{0x10FFFF}};
}

// The well-formed `valid` decoded backwards every way into characters of
// width Char, against the oracle's code points.
template <typename Char>
void decode_every_way(std::span<const std::uint8_t> valid, const std::u32string& points) {
    for (const Utf8Check way : {Utf8Check::scalar, Utf8Check::sse2}) {
        std::vector<Char> out(points.size());
        const Char* first = decode_utf8_backward_with(way, valid.data(), valid.data() + valid.size(), out.data() + out.size());
        check(first == out.data() && std::equal(out.begin(), out.end(), points.begin()), "decode",
              std::to_string(static_cast<int>(way)) + "/" + std::to_string(sizeof(Char)));
    }
}

void decode_every_width(std::span<const std::uint8_t> valid) {
    const std::u32string points = oracle_code_points(std::string_view(reinterpret_cast<const char*>(valid.data()), valid.size()));
    const char32_t largest = points.empty() ? 0 : *std::max_element(points.begin(), points.end());
    decode_every_way<std::uint32_t>(valid, points);
    if (largest <= 0xFFFF) decode_every_way<std::uint16_t>(valid, points);
    if (largest <= 0xFF) decode_every_way<std::uint8_t>(valid, points);
}

// The text as every way checks it; returns where the well-formed text ends.
std::size_t check_every_way(std::span<const std::uint8_t> text) {
    const auto expected = oracle_failure(text);
    const std::size_t good = expected ? expected->at : text.size();
    const TextShape expected_shape = oracle_shape(text.first(good));
    decode_every_width(text.first(good));
    for (const Utf8Check way : kWays) {
        TextShape shape;
        const auto failure = check_and_measure_utf8_with(way, text, shape);
        check(failure.has_value() == expected.has_value(), "failure found", std::to_string(static_cast<int>(way)));
        if (failure) {
            check(failure->valid_up_to == expected->at, "failure position", std::to_string(static_cast<int>(way)));
            check(failure->error_len.has_value() == expected->length.has_value() &&
                      (!failure->error_len || *failure->error_len == *expected->length),
                  "failure length", std::to_string(static_cast<int>(way)));
        }
        check(shape.chars == expected_shape.chars && shape.max_char == expected_shape.max_char, "shape",
              std::to_string(static_cast<int>(way)));
        // The vectors alone: no alarm over well-formed text, and never past a failure.
        const auto checked = utf8_vector_checked(way, text);
        if (!expected || !expected->length) check(checked.has_value(), "false alarm", std::to_string(static_cast<int>(way)));
        if (checked) check(*checked <= good, "checked past a failure", std::to_string(static_cast<int>(way)));
    }
    return good;
}

}  // namespace
}  // namespace kelpie::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kelpie::fuzz;
    if (size == 0) return 0;
    const std::span<const std::uint8_t> text(data + 1, size - 1);
    for (std::size_t shift = 0; shift < std::min<std::size_t>(text.size(), 32); ++shift) check_every_way(text.subspan(shift));
    // Two pieces: what is left pending after the first goes before the second.
    const std::size_t cut = text.empty() ? 0 : data[0] % (text.size() + 1);
    const std::size_t good = check_every_way(text.first(cut));
    const auto first_failure = oracle_failure(text.first(cut));
    if (!first_failure || !first_failure->length) check_every_way(text.subspan(good));
    return 0;
}
