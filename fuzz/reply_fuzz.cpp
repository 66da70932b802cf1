// Reply decoding against an independent oracle: command-code stripping,
// strict decoding of one reply with the exact failure position, lenient
// decoding, and the joining of characters cut between the replies of one
// collection (a reply's text is judged with the bytes pending from the
// replies before it, exactly as if the two had arrived as one).
//
// Input: records of one byte (bit 7: take this reply leniently, as shell
// takes a trailing packet; bits 0-6: its length) and that many payload bytes.
#include <algorithm>
#include <array>
#include <set>

#include "harness.hpp"
#include "protocol/reply.hpp"
#include "protocol/text_collector.hpp"
#include "protocol/utf8.hpp"
#include "utf8_oracle.hpp"

namespace kelpie::fuzz {
namespace {

const std::set<std::uint16_t> kCodes{0, 1, 2, 4, 5, 6, 7, 8, 9, 10, 13, 14, 1001, 1002, 1003, 2000, 2001, 3000, 3003, 3004};

std::span<const std::uint8_t> oracle_text(std::span<const std::uint8_t> payload) {
    if (payload.size() < 2 || !kCodes.contains(static_cast<std::uint16_t>(payload[0] + 256 * payload[1])))
        return payload;
    return payload.subspan(2);
}

std::string as_string(std::span<const std::uint8_t> b) { return std::string(b.begin(), b.end()); }

// The shape of well-formed text from its code points, decoded plainly: how
// many there are, and the class of the largest.
TextShape oracle_shape(std::string_view text) {
    const std::u32string points = oracle_code_points(text);
    const char32_t largest = points.empty() ? 0 : *std::max_element(points.begin(), points.end());
    return TextShape{points.size(), largest <= 0x7F     ? char32_t{0x7F}
                                    : largest <= 0xFF   ? char32_t{0xFF}
                                    : largest <= 0xFFFF ? char32_t{0xFFFF}
                                                        : char32_t{0x10FFFF}};
}

bool same_shape(const TextShape& a, const TextShape& b) { return a.chars == b.chars && a.max_char == b.max_char; }

void check_one_reply(std::span<const std::uint8_t> payload) {
    const auto text = oracle_text(payload);
    const auto stripped = reply_text_bytes(payload);
    check(stripped.data() == text.data() && stripped.size() == text.size(), "command code stripping");
    const auto decoded = decode_strict(text);
    const auto f = oracle_failure(text);
    TextShape shape;
    check_and_measure_utf8(text, shape);
    check(same_shape(shape, oracle_shape(as_string(text.first(f ? f->at : text.size())))), "shape of the text");
    if (!f) {
        check(decoded && *decoded == as_string(text), "valid text refused or changed");
    } else {
        check(!decoded, "invalid text accepted");
        check(decoded.error().message() == oracle_message(*f), "failure position", decoded.error().message());
        check(decoded.error().bytes() == Bytes(text.begin(), text.end()), "error bytes");
    }
    std::string lossy;
    append_lossy(lossy, text);
    check(lossy == oracle_lossy(text), "lenient decoding");
}

}  // namespace
}  // namespace kelpie::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kelpie;
    using namespace kelpie::fuzz;
    Reader in(std::span(data, size));
    PacketReader reader;
    TextCollector collector(reader);
    JoinModel model;
    // What the reader holds: the complete text, then the bytes still pending.
    const auto held = [&] {
        const auto t = reader.text();
        return std::string(t.begin(), t.end()) == model.out + as_string(model.carry);
    };
    // The first invalid reply's error: the text is given up there, and the
    // collection goes on to its end, which brings that error.
    std::optional<std::pair<std::string, Bytes>> failed;
    while (!in.done()) {
        const std::uint8_t head = in.byte();
        const auto payload = in.take(head & 0x7F);
        check_one_reply(payload);
        const auto text = reply_text_bytes(payload);
        if (head & 0x80) {
            collector.append_lossy(text);
            model.lossy(text);
            check((failed || held()) && collector.pending() == !model.carry.empty(), "lenient join");
            continue;
        }
        model.settle(text);  // a lenient carry this reply does not go on with
        const std::size_t before = model.out.size();
        const std::size_t carried = model.carry.size();
        const std::size_t added = collector.append(text);
        if (auto expected = model.strict(text)) {
            check(added == carried + text.size(), "an invalid reply counts whole");
            model.carry.clear();
            if (!failed) failed = std::move(expected);
        } else {
            check(added == model.out.size() - before && (failed || held()), "joined text");
        }
        check(collector.pending() == !model.carry.empty(), "pending bytes");
    }
    const auto finished = collector.finish();
    model.settle({});
    if (failed) {
        check(!finished && finished.error().message() == failed->first, "join failure",
              finished ? "accepted" : finished.error().message());
        check(finished.error().bytes() == failed->second, "join failure bytes");
        return 0;
    }
    const bool complete = model.carry.empty();
    check(finished.has_value() == complete, "finish");
    if (finished) check(*finished == model.out && same_shape(finished->shape(), oracle_shape(model.out)), "finished text");
    else
        check(finished.error().bytes() == model.carry &&
                  finished.error().message() == "UTF-8 error: incomplete utf-8 byte sequence from index 0",
              "finish error");
    return 0;
}
