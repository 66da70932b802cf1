// The operations that gather many replies: their per-reply limits on the
// virtual clock, how each ends, and what they leave on the connection.
#include <gtest/gtest.h>

#include "client.hpp"
#include "scripted_server.hpp"

namespace kelpie {
namespace {

using namespace std::chrono_literals;
using namespace std::string_view_literals;
using test::bytes_of;
using test::coded;
using test::concat;
using test::frame;
using test::header;
using test::outcome;
using test::Step;

using Start = Task<Result<std::string>> (*)(AsyncClient&);

const std::vector<std::string> kPackages{"a.hap"};
const FileTransferOptions kNoFlags;

struct Collector {
    const char* name;
    Start start;
    const char* command;
    Duration limit;
    const char* on_silence;  // the outcome when no reply comes at all
    friend void PrintTo(const Collector& c, std::ostream* os) { *os << c.name; }
};

const Collector kShell{"shell", [](AsyncClient& c) { return test::as_text(c.shell("ls")); }, "shell ls", 5s, ""};
const Collector kHilog{"hilog", [](AsyncClient& c) { return test::as_text(c.hilog(std::nullopt)); }, "hilog", 5s,
                       "error: Operation timed out"};
const Collector kFileSend{"file_send", [](AsyncClient& c) { return test::as_text(c.file_send("l", "r", kNoFlags)); },
                          "file send l r", 60s, "error: Operation timed out"};
const Collector kFileRecv{"file_recv", [](AsyncClient& c) { return test::as_text(c.file_recv("r", "l", kNoFlags)); },
                          "file recv r l", 60s, "error: Operation timed out"};
const Collector kInstall{"install", [](AsyncClient& c) { return test::as_text(c.install(kPackages, false, false)); },
                         "install a.hap", 30s, ""};

const std::string kIncomplete = "error: UTF-8 error: incomplete utf-8 byte sequence from index 0";

class Collecting : public test::ServerTest {
protected:
    struct Outcome {
        std::string text;
        Duration took;
    };

    // Runs the operation while the steps are sent; checks the command it sent.
    Outcome collect(const Collector& op, std::vector<Step> steps = {}) {
        const Instant start = now();
        auto r = run(op.start(*client), test::send_at(conn.get(), std::move(steps)));
        Outcome o{outcome(r), since(start)};
        EXPECT_EQ(test::next_command(conn.get()), op.command);
        return o;
    }

    // The replies waiting on the connection, read by a hilog that an empty
    // reply ends (bounded, so a fault cannot hang the test).
    std::string waiting_replies() {
        queue({coded("")});
        return collect(kHilog).text;
    }
};

class CollectTest : public Collecting, public ::testing::WithParamInterface<Collector> {
protected:
    const Collector& op = GetParam();
};

TEST_P(CollectTest, SilenceEndsTheCollectionAtTheLimit) {
    const auto o = collect(op);
    EXPECT_EQ(o.text, op.on_silence);
    EXPECT_EQ(o.took, op.limit);

    queue({bytes_of("progress")});
    const auto p = collect(op);
    EXPECT_EQ(p.text, "progress");
    EXPECT_EQ(p.took, op.limit);
}

TEST_P(CollectTest, EveryReplyRestartsTheLimit) {
    const Duration gap = op.limit - 1s;
    const auto o = collect(op, {{gap, frame(bytes_of("a"))}, {2 * gap, frame(bytes_of("b"))}});
    EXPECT_EQ(o.text, "ab");
    EXPECT_EQ(o.took, 2 * gap + op.limit);
}

// The limit strikes inside the header, then inside the payload of a packet:
// the next operation reads that packet whole as its reply.
TEST_P(CollectTest, PacketCutByTheLimitIsTheNextReplyWhole) {
    const Bytes wire = frame(bytes_of("dev-1\ndev-2\n"));
    for (std::size_t cut : {2u, 10u}) {
        send_raw(concat({frame(bytes_of("early")), std::span(wire).first(cut)}));
        const auto o = collect(op);
        EXPECT_EQ(o.text, "early") << cut;
        EXPECT_EQ(o.took, op.limit) << cut;
        send_raw(Bytes(wire.begin() + static_cast<std::ptrdiff_t>(cut), wire.end()));
        EXPECT_EQ(waiting_replies(), "dev-1\ndev-2\n") << cut;
    }
}

TEST_P(CollectTest, CharacterSplitAcrossRepliesIsJoined) {
    queue({bytes_of("a\xE4"), bytes_of("\xB8"), bytes_of("\xAD" "b"), coded("")});
    const auto o = collect(op);
    EXPECT_EQ(o.text, "a\u4E2D" "b");
    EXPECT_EQ(o.took, 0s);
}

// A character still cut in half when the collection ends, by silence or by
// an empty reply, fails the operation; the connection stays in step.
TEST_P(CollectTest, EndingWhileCarryingPartOfACharacterFails) {
    queue({bytes_of("a\xE4")});
    const auto silent = collect(op);
    EXPECT_EQ(silent.text, kIncomplete);
    EXPECT_EQ(silent.took, op.limit);

    queue({bytes_of("b\xE4\xB8"), coded(""), bytes_of("next")});
    EXPECT_EQ(collect(op).text, kIncomplete);
    EXPECT_EQ(waiting_replies(), "next");
}

// Invalid text in the middle of an output ends the operation in its UTF-8
// error only where the output ends, by an empty reply or by silence: the rest
// is read and dropped, and the next operation gets its own replies.
TEST_P(CollectTest, InvalidTextMidOutputIsReadToItsEnd) {
    const std::string bad = "error: UTF-8 error: invalid utf-8 sequence of 1 bytes from index 4";
    queue({bytes_of("line 1 "), bytes_of("bad \xFF byte "), bytes_of("line 3"), coded(""), bytes_of("next")});
    const auto ended = collect(op);
    EXPECT_EQ(ended.text, bad);
    EXPECT_EQ(ended.took, 0s);
    EXPECT_EQ(waiting_replies(), "next");

    queue({bytes_of("bad \xFF byte "), bytes_of("line 3")});
    const auto silent = collect(op);
    EXPECT_EQ(silent.text, bad);
    EXPECT_EQ(silent.took, op.limit);
}

// Without room for the largest packet, an operation that gathers replies
// asks for nothing: a reply it could not read whole would be left behind for
// the next operation. The next one, with memory again, runs as usual.
TEST_P(CollectTest, NoRoomForAPacketSendsNothing) {
    {
        ByteBuffer::RefusalsFrom refusals(256u << 10);
        EXPECT_EQ(outcome(run(op.start(*client))), "error: Out of memory: no room for a packet of 523268 bytes");
    }
    EXPECT_TRUE(test::open_and_silent(conn.get()));
    queue({bytes_of("done"), coded("")});
    EXPECT_EQ(collect(op).text, "done");
}

INSTANTIATE_TEST_SUITE_P(Ops, CollectTest, ::testing::Values(kShell, kHilog, kFileSend, kFileRecv, kInstall),
                         [](const auto& info) { return std::string(info.param.name); });

// Markers end a collection only from within one reply; what follows the
// terminal reply is the next operation's (here uninstall's one reply).
struct MarkerCase {
    const char* name;
    const Collector* op;
    std::vector<Bytes> replies;
    std::string output;
    bool ends;  // at once; otherwise by silence at the limit
    friend void PrintTo(const MarkerCase& c, std::ostream* os) { *os << c.name; }
};

class MarkerTest : public Collecting, public ::testing::WithParamInterface<MarkerCase> {};

TEST_P(MarkerTest, EndsOnlyOnAMarkerInOneReply) {
    const MarkerCase& c = GetParam();
    std::vector<Bytes> wire = c.replies;
    if (c.ends) wire.push_back(bytes_of("after"));
    queue(wire);
    const auto o = collect(*c.op);
    EXPECT_EQ(o.text, c.output);
    EXPECT_EQ(o.took, c.ends ? Duration(0s) : c.op->limit);
    if (!c.ends) return;
    EXPECT_EQ(outcome(run(client->uninstall("p", false, false))), "after");
    EXPECT_EQ(test::next_command(conn.get()), "uninstall p");
}

INSTANTIATE_TEST_SUITE_P(
    Replies, MarkerTest,
    ::testing::Values(
        MarkerCase{"file_marker_after_joined_character", &kFileSend,
                   {bytes_of("\xE4\xB8"), bytes_of("\xAD[Fail]")}, "\u4E2D[Fail]", true},
        MarkerCase{"file_split_marker", &kFileSend, {bytes_of("Transfer fin"), bytes_of("ish")},
                   "Transfer finish", false},
        MarkerCase{"install_case_sensitive", &kInstall, {bytes_of("SUCCESS"), bytes_of("FAIL")}, "SUCCESSFAIL",
                   false},
        MarkerCase{"hilog_has_none", &kHilog, {bytes_of("Success [Fail] Transfer finish")},
                   "Success [Fail] Transfer finish", false}),
    [](const auto& info) { return std::string(info.param.name); });

struct ShellCase {
    const char* name;
    Bytes wire;
    std::string output;
    Duration took;
    friend void PrintTo(const ShellCase& c, std::ostream* os) { *os << c.name; }
};

class ShellTest : public Collecting, public ::testing::WithParamInterface<ShellCase> {};

TEST_P(ShellTest, EndsAsTheRepliesDictate) {
    const ShellCase& c = GetParam();
    send_raw(c.wire);
    const auto o = collect(kShell);
    EXPECT_EQ(o.text, c.output);
    EXPECT_EQ(o.took, c.took);
}

const Bytes kCodeX{0, 0, 'x'};

INSTANTIATE_TEST_SUITE_P(
    Replies, ShellTest,
    ::testing::Values(
        ShellCase{"silent", {}, "", 5s},
        ShellCase{"no_line_end", test::frames({bytes_of("abc")}), "abc", 5s},
        ShellCase{"line_feed", test::frames({bytes_of("hi\n")}), "hi\n", 100ms},
        ShellCase{"zero_byte", test::frames({bytes_of("hi\0"sv)}), std::string("hi\0"sv), 100ms},
        ShellCase{"line_end_in_a_later_reply", test::frames({bytes_of("a"), bytes_of("b\n")}), "ab\n", 100ms},
        ShellCase{"empty_reply", test::frames({bytes_of("abc"), coded("")}), "abc", 0s},
        // After a trailing packet the wait is the 5-second one again, even
        // when that packet ends a line.
        ShellCase{"trailing_code_x", test::frames({bytes_of("hi\n"), kCodeX}), "hi\nx", 5s},
        ShellCase{"trailing_one_byte", test::frames({bytes_of("hi\n"), bytes_of("y")}), "hi\ny", 5s},
        ShellCase{"trailing_drops_two_bytes", test::frames({bytes_of("hi\n"), bytes_of("more")}), "hi\nre", 5s},
        ShellCase{"trailing_line_end", test::frames({bytes_of("hi\n"), Bytes{0, 0, 'x', '\n'}}), "hi\nx\n", 5s},
        ShellCase{"trailing_lenient", test::frames({bytes_of("hi\n"), Bytes{0, 0, 0xFF, 'z', 0xE4}}),
                  "hi\n\uFFFDz\uFFFD", 5s},
        ShellCase{"strict_again_after_trailing", test::frames({bytes_of("hi\n"), kCodeX, Bytes{0xFF}}),
                  "error: UTF-8 error: invalid utf-8 sequence of 1 bytes from index 0", 5s},
        ShellCase{"trailing_error_dropped", concat({test::frames({bytes_of("hi\n")}), header(0)}), "hi\n", 0s},
        ShellCase{"joined_before_line_end", test::frames({bytes_of("a\xE4"), bytes_of("\xB8\xAD\n")}),
                  "a\u4E2D\n", 100ms},
        ShellCase{"carry_after_line_end", test::frames({bytes_of("x\n\xE4")}), kIncomplete, 100ms},
        ShellCase{"carry_joined_into_trailing", test::frames({bytes_of("x\n\xE4"), Bytes{0, 0, 0xB8, 0xAD}}),
                  "x\n\u4E2D", 5s},
        // ... and a character begun in the trailing packet into the replies after it.
        ShellCase{"trailing_carried_into_replies",
                  test::frames({bytes_of("line\n"), bytes_of("xx\xF0\x9F"), bytes_of("\x98"), bytes_of("\x80\n")}),
                  "line\n\U0001F600\n", 100ms}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Collecting, ShellTrailingPacketCutByItsLookIsTheNextReplyWhole) {
    send_raw(concat({test::frames({bytes_of("hi\n")}), header(3), Bytes{0, 0}}));
    const auto o = collect(kShell);
    EXPECT_EQ(o.text, "hi\n");
    EXPECT_EQ(o.took, 100ms);
    send_raw(bytes_of("x"));
    EXPECT_EQ(waiting_replies(), "x");
}

}  // namespace
}  // namespace kelpie
