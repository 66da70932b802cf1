#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "protocol/reply.hpp"
#include "protocol/text_collector.hpp"
#include "protocol/utf8.hpp"

namespace kelpie {
namespace {

std::vector<std::uint8_t> bytes(std::initializer_list<int> list) {
    std::vector<std::uint8_t> out;
    for (int b : list) out.push_back(static_cast<std::uint8_t>(b));
    return out;
}

struct Utf8Case {
    std::vector<std::uint8_t> input;
    std::string message;  // empty: valid
};

class StrictDecode : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(StrictDecode, ReportsMaximalSubpart) {
    const auto& c = GetParam();
    auto r = decode_strict(c.input);
    if (c.message.empty()) {
        ASSERT_TRUE(r.has_value());
        EXPECT_EQ(*r, std::string(c.input.begin(), c.input.end()));
    } else {
        ASSERT_FALSE(r.has_value());
        EXPECT_EQ(r.error().message(), c.message);
        EXPECT_EQ(r.error().bytes(), c.input);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StrictDecode,
    ::testing::Values(
        Utf8Case{bytes({0x6F, 0x6B}), ""}, Utf8Case{bytes({0xE2, 0x82, 0xAC, 0xF0, 0x9F, 0x98, 0x80}), ""},
        Utf8Case{bytes({0, 'a', 0}), ""},
        Utf8Case{bytes({0x6F, 0x6B, 0xFF}), "UTF-8 error: invalid utf-8 sequence of 1 bytes from index 2"},
        Utf8Case{bytes({0x80}), "UTF-8 error: invalid utf-8 sequence of 1 bytes from index 0"},
        Utf8Case{bytes({0x6F, 0x6B, 0xE2, 0x82}), "UTF-8 error: incomplete utf-8 byte sequence from index 2"},
        Utf8Case{bytes({0xE2, 0x82, 0x41}), "UTF-8 error: invalid utf-8 sequence of 2 bytes from index 0"},
        Utf8Case{bytes({0xF0, 0x9F, 0x98, 0x41}), "UTF-8 error: invalid utf-8 sequence of 3 bytes from index 0"},
        // Overlong, surrogate and beyond-U+10FFFF forms fail at their second byte.
        Utf8Case{bytes({0xC0, 0x80}), "UTF-8 error: invalid utf-8 sequence of 1 bytes from index 0"},
        Utf8Case{bytes({0xE0, 0x80, 0x80}), "UTF-8 error: invalid utf-8 sequence of 1 bytes from index 0"},
        Utf8Case{bytes({'a', 0xED, 0xA0, 0x80}), "UTF-8 error: invalid utf-8 sequence of 1 bytes from index 1"},
        Utf8Case{bytes({0xF4, 0x90, 0x80, 0x80}), "UTF-8 error: invalid utf-8 sequence of 1 bytes from index 0"},
        Utf8Case{bytes({0xF5}), "UTF-8 error: invalid utf-8 sequence of 1 bytes from index 0"},
        // The word-at-a-time ASCII skip must not jump over a bad byte.
        Utf8Case{bytes({'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 0xFF}),
                 "UTF-8 error: invalid utf-8 sequence of 1 bytes from index 9"}));

struct ShapeCase {
    std::string input;
    std::size_t chars;  // of the well-formed text before any failure
    char32_t max_char;
};

class Shape : public ::testing::TestWithParam<ShapeCase> {};

// The count and the widest character's class come from the check itself,
// across the word-at-a-time skips and up to a failure or a cut character.
TEST_P(Shape, CountsCharactersAndTheWidestClass) {
    const auto& c = GetParam();
    for (const Utf8Check way : {Utf8Check::scalar, Utf8Check::sse2, Utf8Check::avx2}) {
        TextShape shape;
        check_and_measure_utf8_with(way, std::span(reinterpret_cast<const std::uint8_t*>(c.input.data()), c.input.size()),
                                    shape);
        EXPECT_EQ(shape.chars, c.chars) << static_cast<int>(way);
        EXPECT_EQ(shape.max_char, c.max_char) << static_cast<int>(way);
    }
}

// Text longer than the vectors' counters hold between sums, with a bad byte
// put at each place around a vector's end, and a character cut there: every
// way finds what the scalar one finds.
TEST(Utf8Check, EveryWayAgreesAcrossVectorEnds) {
    std::string text;
    while (text.size() < 20000) text += "I hdc: \xE8\xAE\xBE\xE5\xA4\x87 \xD1\x81\xD1\x82 caf\xC3\xA9 \xF0\x9F\x98\x80 ok\n";
    const auto measure = [](Utf8Check way, const std::string& t) {
        TextShape shape;
        const auto f = check_and_measure_utf8_with(way, std::span(reinterpret_cast<const std::uint8_t*>(t.data()), t.size()), shape);
        return std::tuple(f ? f->valid_up_to : SIZE_MAX, f && f->error_len ? int{*f->error_len} : -1, shape.chars,
                          shape.max_char);
    };
    for (std::size_t at = 9600 - 4; at < 9600 + 36; ++at) {
        for (const std::string& bad : {std::string("\xFF"), std::string("\xE4\xB8"), std::string("\xED\xA0\x80")}) {
            std::string t = text;
            t.replace(at, bad.size(), bad);
            std::string cut = text.substr(0, at);
            for (const Utf8Check way : {Utf8Check::sse2, Utf8Check::avx2}) {
                EXPECT_EQ(measure(way, t), measure(Utf8Check::scalar, t)) << at << " " << static_cast<int>(way);
                EXPECT_EQ(measure(way, cut), measure(Utf8Check::scalar, cut)) << at << " " << static_cast<int>(way);
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Shape,
    ::testing::Values(ShapeCase{"", 0, 0x7F}, ShapeCase{std::string(100, 'a'), 100, 0x7F},
                      ShapeCase{"caf\xC3\xA9", 4, 0xFF},                   // U+00E9
                      ShapeCase{"\xC4\x80", 1, 0xFFFF},                    // U+0100, the first beyond one byte
                      ShapeCase{std::string(40, 'a') + "\xE4\xB8\xAD" + std::string(40, 'b'), 81, 0xFFFF},
                      ShapeCase{"\xEF\xBF\xBF\xC3\xA9", 2, 0xFFFF},       // U+FFFF
                      ShapeCase{"a\xF0\x9F\x98\x80\xC3\xA9", 3, 0x10FFFF},
                      ShapeCase{"ab\xC3\xA9\xE4\xB8", 3, 0xFF},            // a cut character is not counted
                      ShapeCase{"ab\xE4\xB8\xAD\xFF\xF0\x9F\x98\x80", 3, 0xFFFF}));

TEST(TextCollector, ShapeOfCharactersCutBetweenReplies) {
    PacketReader reader;
    TextCollector c(reader);
    const std::string text = "x\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80y";
    for (char ch : text) c.append(bytes({static_cast<std::uint8_t>(ch)}));
    c.append_lossy(bytes({0xE4, 0xB8}));  // a lenient reply adds U+FFFD
    auto out = c.finish();
    ASSERT_TRUE(out.has_value());
    EXPECT_EQ(out->shape().chars, 6u);
    EXPECT_EQ(out->shape().max_char, 0x10FFFFu);
}

// Backwards, every width of character and every way, with ASCII runs long
// enough for words and vectors and a vector ending at each offset of them.
template <typename Char>
void expect_decoded_every_way(const std::string& text, const std::u32string& expected) {
    const auto* from = reinterpret_cast<const std::uint8_t*>(text.data());
    for (const Utf8Check way : {Utf8Check::scalar, Utf8Check::sse2}) {
        std::vector<Char> out(expected.size(), Char{'?'});
        EXPECT_EQ(decode_utf8_backward_with(way, from, from + text.size(), out.data() + out.size()), out.data());
        EXPECT_TRUE(std::equal(out.begin(), out.end(), expected.begin())) << static_cast<int>(way);
    }
}

TEST(DecodeBackward, EveryWidthIntoFixedWidthCharacters) {
    const std::string ascii = "0123456789abcdefghijklmnopqrstuvwxyz0123456789ABCDEFGHIJ";
    const std::u32string wide = U"0123456789abcdefghijklmnopqrstuvwxyz0123456789ABCDEFGHIJ";
    for (std::size_t cut = 0; cut <= 40; cut += 5) {
        const std::string text = ascii.substr(cut) + "x\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80" + ascii.substr(0, 40 - cut) +
                                 "\xC3\xA9" + ascii;
        const std::u32string expected =
            wide.substr(cut) + U"x\u00e9\u4e2d\U0001F600" + wide.substr(0, 40 - cut) + U"\u00e9" + wide;
        expect_decoded_every_way<std::uint32_t>(text, expected);
        const std::string narrow = ascii.substr(cut) + "\xC3\xA9" + ascii.substr(0, 40 - cut) + "\xC2\xA0" + ascii;
        const std::u32string narrow_expected = wide.substr(cut) + U"\u00e9" + wide.substr(0, 40 - cut) + U"\u00a0" + wide;
        expect_decoded_every_way<std::uint8_t>(narrow, narrow_expected);
        expect_decoded_every_way<std::uint16_t>(narrow + "\xE4\xB8\xAD", narrow_expected + U"\u4e2d");
    }
}

TEST(LossyDecode, ReplacesEachMaximalSubpart) {
    std::string out;
    append_lossy(out, bytes({'a', 0xFF, 0xE2, 0x82, 'b', 0xE2}));
    EXPECT_EQ(out, "a\xEF\xBF\xBD\xEF\xBF\xBD" "b\xEF\xBF\xBD");
}

TEST(WhiteSpace, TrimsUnicodeWhiteSpaceOnly) {
    EXPECT_EQ(trim_white_space(" \t\r\n\v\f x y \xC2\xA0\xE3\x80\x80"), "x y");
    EXPECT_EQ(trim_white_space("\xE2\x80\x8B" "x"), "\xE2\x80\x8B" "x");  // zero-width space is not White_Space
    EXPECT_EQ(trim_white_space("   "), "");
}

TEST(CommandCode, ExactlyTheRecognisedValues) {
    const std::vector<int> known = {0, 1, 2, 4, 5, 6, 7, 8, 9, 10, 13, 14, 1001, 1002, 1003, 2000, 2001, 3000, 3003, 3004};
    for (int v = 0; v < 65536; ++v) {
        const bool expected = std::find(known.begin(), known.end(), v) != known.end();
        EXPECT_EQ(is_command_code(static_cast<std::uint16_t>(v)), expected) << v;
    }
    EXPECT_EQ(reply_text_bytes(bytes({5, 0})).size(), 0u);
    EXPECT_EQ(reply_text_bytes(bytes({3, 0, 'x'})).size(), 3u);
    EXPECT_EQ(reply_text_bytes(bytes({0xE9, 0x03, 'x'})).size(), 1u);  // 1001, little-endian
    EXPECT_EQ(reply_text_bytes(bytes({5})).size(), 1u);
}

// Replies of one collection joined across a character cut between packets.
// The collector's reader receives nothing here: the replies come from the test.
TEST(TextCollector, JoinsCharacterSplitAcrossReplies) {
    PacketReader reader;
    TextCollector c(reader);
    EXPECT_EQ(c.append(bytes({'a', 0xE4, 0xB8})), 1u);
    EXPECT_TRUE(c.pending());
    EXPECT_EQ(c.append(bytes({0xAD})), 3u);
    EXPECT_EQ(c.append(bytes({0xF0})), 0u);
    EXPECT_EQ(c.append(bytes({0x9F, 0x98})), 0u);
    EXPECT_EQ(c.append(bytes({0x80, 'z'})), 5u);
    EXPECT_EQ(c.last_added(), "\xF0\x9F\x98\x80z");
    auto out = c.finish();
    ASSERT_TRUE(out.has_value());
    EXPECT_EQ(*out, "a\xE4\xB8\xAD\xF0\x9F\x98\x80z");
    EXPECT_FALSE(out->ascii());
}

TEST(TextCollector, FinishWhilePendingIsIncomplete) {
    PacketReader reader;
    TextCollector c(reader);
    c.append(bytes({'o', 'k', 0xE2, 0x82}));
    EXPECT_EQ(c.last_added(), "ok");
    EXPECT_EQ(c.finish().error().message(), "UTF-8 error: incomplete utf-8 byte sequence from index 0");
}

// Invalid bytes are judged with the bytes pending before them; the reply
// counts whole, and the error (the first, if more follow) ends the collection.
TEST(TextCollector, InvalidBytesFailOverPendingAndReply) {
    PacketReader reader;
    {
        TextCollector c(reader);
        c.append(bytes({'x', 0xE2}));
        EXPECT_EQ(c.append(bytes({0x41, 0x42})), 3u);  // the pending lead byte is never completed
        EXPECT_EQ(c.last_added(), "\xE2" "AB");
        auto broken = c.finish();
        ASSERT_FALSE(broken.has_value());
        EXPECT_EQ(broken.error().message(), "UTF-8 error: invalid utf-8 sequence of 1 bytes from index 0");
        EXPECT_EQ(broken.error().bytes(), bytes({0xE2, 0x41, 0x42}));
    }
    TextCollector k(reader);
    k.append(bytes({0xE2, 0x82}));
    k.append(bytes({0xAC, 'a', 0xFF}));
    k.append(bytes({0xFE}));
    EXPECT_EQ(k.finish().error().message(), "UTF-8 error: invalid utf-8 sequence of 1 bytes from index 4");
}

TEST(TextCollector, LenientAppendConsumesPending) {
    PacketReader reader;
    TextCollector c(reader);
    c.append(bytes({'a', 0xE2, 0x82}));
    c.append_lossy(bytes({0xAC, 0xFF}));
    EXPECT_FALSE(c.pending());
    EXPECT_EQ(*c.finish(), "a\xE2\x82\xAC\xEF\xBF\xBD");
}

// The text grows through every size of buffer, malloc'd and mapped; it must
// come through every move whole, a character cut between replies included,
// and the reader must be back to a small buffer afterwards.
TEST(TextCollector, LargeOutputSurvivesEveryGrowth) {
    PacketReader reader;
    std::string expected;
    Result<Output> out;
    {
        TextCollector c(reader);
        Bytes reply(523262, 'a');
        reply.back() = 0xE4;  // the first byte of a three-byte character, finished by the next reply
        for (int i = 0; i < 24; ++i) {
            reply[0] = static_cast<std::uint8_t>(i == 0 ? 'a' : 0xBD);
            reply[1] = static_cast<std::uint8_t>(i == 0 ? 'a' : 0xA0);
            c.append(reply);
        }
        c.append(Bytes{0xBD, 0xA0});
        out = c.finish();
    }
    ASSERT_TRUE(out.has_value());
    expected.append(523261, 'a');
    for (int i = 1; i < 24; ++i) expected.append("\xE4\xBD\xA0").append(523259, 'a');
    expected.append("\xE4\xBD\xA0");
    EXPECT_EQ(out->size(), expected.size());
    EXPECT_TRUE(out->view() == expected);
    EXPECT_LE(reader.capacity(), PacketReader::kKeptBetweenCalls);
}

}  // namespace
}  // namespace kelpie
