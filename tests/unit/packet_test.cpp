#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <functional>
#include <thread>

#include "fixtures.hpp"
#include "protocol/packet.hpp"
#include "protocol/reply.hpp"
#include "protocol/text_collector.hpp"

namespace kelpie {
namespace {

using namespace std::chrono_literals;
using test::bytes_of;
using test::concat;
using test::frame;
using test::header;
using test::SocketPair;

Bytes pattern(std::size_t n) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    return b;
}

std::string message_of(const Result<Bytes>& r) { return r ? "payload of " + std::to_string(r->size()) : r.error().message(); }

class PacketTest : public ::testing::Test {
protected:
    test::VirtualRuntime vr = test::virtual_runtime();
    SocketPair pair = SocketPair::make();
    PacketReader partial;

    Result<Bytes> read(std::optional<Instant> deadline = std::nullopt) {
        return vr.rt->block_on(read_packet(pair.near, partial, deadline));
    }
    Result<void> write(const Bytes& payload) { return vr.rt->block_on(write_packet(pair.near, payload)); }
    void close_near() { pair.near = TcpStream(Fd()); }
};

// Over a socket that keeps send boundaries, each frame arrives as one send.
TEST_F(PacketTest, SmallFramesGoOutInOneSend) {
    pair = SocketPair::make(SOCK_SEQPACKET);
    const Bytes list_targets = concat({Bytes{0, 0, 0, 0x0C}, bytes_of("list targets")});
    for (const auto& [payload, expected] : {std::pair{bytes_of("list targets"), list_targets},
                                            std::pair{Bytes{}, Bytes{0, 0, 0, 0}}}) {
        ASSERT_TRUE(write(payload));
        Bytes got(256);
        const ssize_t n = ::recv(pair.far.get(), got.data(), got.size(), MSG_DONTWAIT);
        ASSERT_GE(n, 0);
        got.resize(static_cast<std::size_t>(n));
        EXPECT_EQ(got, expected);
        EXPECT_EQ(::recv(pair.far.get(), got.data(), got.size(), MSG_DONTWAIT), -1);
    }
}

TEST_F(PacketTest, LargestPayloadIsOneFrame) {
    const Bytes payload = pattern(MAX_PACKET_SIZE);
    Bytes got;
    std::thread peer([&] { got = test::read_until_eof(pair.far.get()); });
    const auto r = write(payload);
    close_near();
    peer.join();
    ASSERT_TRUE(r) << r.error().message();
    ASSERT_EQ(got.size(), MAX_PACKET_SIZE + 4);
    EXPECT_EQ(got, frame(payload));
}

TEST_F(PacketTest, OversizedPayloadIsRefusedAndNothingSent) {
    const auto r = write(Bytes(MAX_PACKET_SIZE + 1));
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "Buffer error: Data size 523265 exceeds maximum packet size 523264");
    EXPECT_EQ(test::pending(pair.far.get()), 0);
}

TEST_F(PacketTest, WritingToAClosedPeerIsAnErrorNotASignal) {
    sigset_t pipe_only, pending_set;
    sigemptyset(&pipe_only);
    sigaddset(&pipe_only, SIGPIPE);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &pipe_only, nullptr), 0);
    pair.far.reset();
    const auto r = write(bytes_of("list targets"));
    sigpending(&pending_set);
    const bool raised = sigismember(&pending_set, SIGPIPE);
    if (raised) {
        int sig;
        sigwait(&pipe_only, &sig);
    }
    pthread_sigmask(SIG_UNBLOCK, &pipe_only, nullptr);
    EXPECT_FALSE(raised);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "I/O error: Broken pipe (os error 32)");
}

struct ReadCase {
    const char* name;
    Bytes sent;      // written before the read, then the peer closes when `close`
    bool close;
    std::string outcome;  // the error message, or "payload of N"
    int left;             // bytes still unread afterwards, by the kernel or by the reader
};

class PacketReadTest : public PacketTest, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(PacketReadTest, Reads) {
    const ReadCase& c = GetParam();
    ASSERT_TRUE(test::send_all(pair.far.get(), c.sent));
    if (c.close) pair.far.reset();
    const auto r = read();
    EXPECT_EQ(message_of(r), c.outcome);
    if (!c.close) {
        EXPECT_EQ(test::pending(pair.near.fd()) + static_cast<int>(partial.buffered()), c.left);
    } else {
        EXPECT_TRUE(partial.empty());
    }
}

const Bytes kNext = bytes_of("next");

INSTANTIATE_TEST_SUITE_P(
    Framing, PacketReadTest,
    ::testing::Values(
        ReadCase{"plain", concat({frame(bytes_of("abc")), kNext}), false, "payload of 3", 4},
        ReadCase{"zero_length", concat({header(0), kNext}), false, "Protocol error: Received zero-length packet", 4},
        ReadCase{"one_over", concat({header(523265), kNext}), false,
                 "Protocol error: Packet size 523265 exceeds maximum 523264", 4},
        ReadCase{"all_ones", concat({header(0xFFFFFFFF), kNext}), false,
                 "Protocol error: Packet size 4294967295 exceeds maximum 523264", 4},
        ReadCase{"eof_at_start", {}, true, "I/O error: early eof", 0},
        ReadCase{"eof_in_header", {0, 0}, true, "I/O error: early eof", 0},
        ReadCase{"eof_in_payload", concat({header(5), bytes_of("ab")}), true, "I/O error: early eof", 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PacketTest, LargestPacketReadsExactlyItsPayload) {
    const Bytes payload = pattern(MAX_PACKET_SIZE);
    std::thread peer([&] { test::send_all(pair.far.get(), concat({frame(payload), kNext})); });
    const auto r = read();
    if (!r) close_near();  // lets the peer's write end
    peer.join();
    ASSERT_TRUE(r) << r.error().message();
    EXPECT_EQ(*r, payload);
    EXPECT_EQ(test::pending(pair.near.fd()) + static_cast<int>(partial.buffered()), 4);
}

// A collection's text stays in the receive buffer as it grows through every
// size, malloc'd and mapped, with characters cut between packets; it leaves
// whole, and the reader goes on in a small buffer with the bytes behind it.
TEST_F(PacketTest, KeptTextLeavesWholeAndTheReaderShrinks) {
    std::string text;
    while (text.size() < (12u << 20)) text += "ab\xE4\xB8\xAD";
    Bytes wire;
    const auto add = [&](const Bytes& payload) {
        const Bytes f = frame(payload);
        wire.insert(wire.end(), f.begin(), f.end());
    };
    for (std::size_t at = 0; at < text.size(); at += 4093)
        add(concat({Bytes{5, 0}, bytes_of(std::string_view(text).substr(at, 4093))}));
    add(Bytes{5, 0});
    add(bytes_of("next"));
    std::thread peer([&] { test::send_all(pair.far.get(), wire); });
    Result<Output> out;
    {
        TextCollector collector(partial);
        for (;;) {
            const auto payload = vr.rt->block_on(partial.next(pair.near, std::nullopt));
            ASSERT_TRUE(payload) << payload.error().message();
            const auto reply = reply_text_bytes(*payload);
            if (reply.empty()) break;
            collector.append(reply);
        }
        out = collector.finish();
    }
    EXPECT_LE(partial.capacity(), PacketReader::kKeptBetweenCalls);
    const auto next = read();
    if (!next) close_near();
    peer.join();
    ASSERT_TRUE(out) << out.error().message();
    EXPECT_FALSE(out->ascii());
    EXPECT_EQ(out->size(), text.size());
    // No growth reserve rides along into the caller's string.
    EXPECT_LT(out->capacity() - out->size(), static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)));
    EXPECT_TRUE(out->view() == text);
    EXPECT_EQ(next, bytes_of("next"));
    // Given back from its end, the output keeps the rest intact.
    out->give_back_from(5u << 20);
    EXPECT_TRUE(out->view() == std::string_view(text).substr(0, 5u << 20));
}

// `total` bytes of text, "ab\u4E2D" repeated, in replies of `per_packet`
// bytes, an empty reply, then a packet "next".
Bytes bulk_wire(std::size_t total, std::size_t per_packet) {
    std::string text;
    while (text.size() < total) text += "ab\xE4\xB8\xAD";
    text.resize(total);
    Bytes wire;
    for (std::size_t at = 0; at < total; at += per_packet) {
        const Bytes f = frame(concat({Bytes{5, 0}, bytes_of(std::string_view(text).substr(at, per_packet))}));
        wire.insert(wire.end(), f.begin(), f.end());
    }
    return concat({wire, frame(Bytes{5, 0}), frame(bytes_of("next"))});
}

// Collects replies until the empty one: `lost` is told the reader's
// capacity when the text has just been given up, `at_end` runs before the
// collection finishes.
Result<Output> collect_replies(test::VirtualRuntime& vr, PacketReader& reader, TcpStream& stream,
                               const std::function<void(std::size_t)>& lost, const std::function<void()>& at_end) {
    TextCollector collector(reader);
    bool seen = false;
    for (;;) {
        const auto payload = vr.rt->block_on(reader.next(stream, std::nullopt));
        if (!payload) return collector.fail(payload.error());
        if (reader.text_lost() && !std::exchange(seen, true)) lost(reader.capacity());
        const auto reply = reply_text_bytes(*payload);
        if (reply.empty()) break;
        collector.append(reply);
    }
    at_end();
    return collector.finish();
}

std::string message_of(const Result<Output>& r) { return r ? "output of " + std::to_string(r->size()) : r.error().message(); }

struct Shortage {
    const char* name;
    std::size_t per_packet;
    std::size_t refused_from;  // allocations from this size on fail
    friend void PrintTo(const Shortage& c, std::ostream* os) { *os << c.name; }
};

class PacketShortageTest : public PacketTest, public ::testing::WithParamInterface<Shortage> {};

// Growth fails at some size after the room for one packet was reserved: the
// text is given up at once, address space and all, and the replies are read
// to their end, so the next read is the packet behind them.
TEST_P(PacketShortageTest, GrowthFailingCostsTheTextNeverThePlace) {
    const Shortage& c = GetParam();
    const std::size_t total = 12500000;  // whole characters
    const Bytes wire = bulk_wire(total, c.per_packet);
    std::thread peer([&] { test::send_all(pair.far.get(), wire); });
    Result<Output> out;
    bool reserved = false;
    std::size_t capacity_when_lost = 0;
    {
        ByteBuffer::RefusalsFrom refusals(c.refused_from);
        reserved = partial.reserve_packet();
        out = collect_replies(vr, partial, pair.near, [&](std::size_t capacity) { capacity_when_lost = capacity; },
                              [] {});
    }
    const auto next = read();
    close_near();
    peer.join();
    EXPECT_TRUE(reserved);
    EXPECT_EQ(message_of(out), "Out of memory: the output grew past what memory could hold (" +
                                   std::to_string(total) + " bytes received)");
    EXPECT_GT(capacity_when_lost, 0u);
    EXPECT_LT(capacity_when_lost, 2 * (4 + MAX_PACKET_SIZE));
    EXPECT_EQ(next, bytes_of("next"));
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, PacketShortageTest,
    ::testing::Values(Shortage{"largest_packets_past_the_reserve", MAX_PACKET_SIZE - 2, 1u << 20},
                      Shortage{"largest_packets_at_megabytes", MAX_PACKET_SIZE - 2, 5u << 20},
                      Shortage{"small_packets_at_megabytes", 4093, 5u << 20}),
    [](const auto& info) { return std::string(info.param.name); });

// When not even the small buffer a reader carries on in can be had after a
// large output, the text is given up and the large buffer shrinks in place;
// the bytes behind the output stay the next read's.
TEST_F(PacketTest, NoRoomToCarryOnShrinksInPlace) {
    const Bytes wire = bulk_wire(3000000, MAX_PACKET_SIZE - 2);
    std::thread peer([&] { test::send_all(pair.far.get(), wire); });
    std::optional<ByteBuffer::RefusalsFrom> nothing_at_all;
    const auto out = collect_replies(vr, partial, pair.near, [](std::size_t) {}, [&] { nothing_at_all.emplace(0); });
    const std::size_t capacity = partial.capacity();
    nothing_at_all.reset();
    const auto next = read();
    close_near();
    peer.join();
    EXPECT_EQ(message_of(out), "Out of memory: no room for a receive buffer of 65536 bytes to read on in after an "
                               "output of 3000000 bytes");
    EXPECT_LE(capacity, 64u << 10);
    EXPECT_EQ(next, bytes_of("next"));
}

TEST_F(PacketTest, OneByteAtATime) {
    const Bytes wire = concat({frame(bytes_of("hello")), frame(bytes_of("world!"))});
    std::thread peer([&] {
        for (std::uint8_t b : wire) {
            if (!test::send_all(pair.far.get(), std::span(&b, 1))) return;
            // The next byte goes only once the reader has taken this one.
            for (int i = 0; i < 20000 && test::pending(pair.near.fd()) > 0; ++i) std::this_thread::sleep_for(100us);
        }
    });
    const auto first = read();
    const auto second = read();
    peer.join();
    EXPECT_EQ(first, bytes_of("hello"));
    EXPECT_EQ(second, bytes_of("world!"));
}

TEST_F(PacketTest, PassedDeadlineStillTakesBytesAlreadyThere) {
    ASSERT_TRUE(test::send_all(pair.far.get(), frame(bytes_of("ready"))));
    EXPECT_EQ(read(vr.clock->now()), bytes_of("ready"));
}

bool blocking(int fd) { return (::fcntl(fd, F_GETFL) & O_NONBLOCK) == 0; }

// An awaited reply with no deadline and nothing else to run is read by a recv
// that waits in the kernel; the bytes that follow it, and every later
// non-waiting read, behave as before.
TEST_F(PacketTest, AwaitedReplyWithNothingElseToDoWaitsInRecv) {
    const Bytes wire = concat({frame(bytes_of("first")), frame(bytes_of("second"))});
    std::thread peer([&] {
        std::this_thread::sleep_for(20ms);
        test::send_all(pair.far.get(), std::span(wire).first(7));
        std::this_thread::sleep_for(20ms);
        test::send_all(pair.far.get(), std::span(wire).subspan(7));
    });
    partial.expect_reply();
    const auto first = read();
    const auto second = read();
    peer.join();
    EXPECT_EQ(first, bytes_of("first"));
    EXPECT_EQ(second, bytes_of("second"));
    EXPECT_TRUE(blocking(pair.near.fd()));
    Bytes room(16);
    const auto nothing = pair.near.try_read(room);
    ASSERT_TRUE(nothing);
    EXPECT_FALSE(nothing->has_value());
}

// With a deadline the wait stays the runtime's, so the deadline can strike.
TEST_F(PacketTest, AwaitedReplyWithADeadlineWaitsInTheRuntime) {
    partial.expect_reply();
    EXPECT_EQ(message_of(read(vr.clock->now() + 5s)), "Operation timed out");
    EXPECT_FALSE(blocking(pair.near.fd()));
}

// A deadline strikes after each listed prefix of the frame has arrived; the
// following reads pick the same packet up where the last one stopped.
class PacketDeadlineTest : public PacketTest, public ::testing::WithParamInterface<std::vector<std::size_t>> {};

TEST_P(PacketDeadlineTest, TimeoutKeepsThePartialPacket) {
    const Bytes payload = bytes_of("hello world");
    const Bytes wire = frame(payload);
    std::size_t sent = 0;
    for (std::size_t cut : GetParam()) {
        ASSERT_TRUE(test::send_all(pair.far.get(), std::span(wire).subspan(sent, cut - sent)));
        sent = cut;
        const Instant start = vr.clock->now();
        const auto r = read(start + 5s);
        EXPECT_EQ(message_of(r), "Operation timed out") << "after " << cut << " bytes";
        EXPECT_EQ(vr.clock->now() - start, Duration(5s));
        EXPECT_EQ(partial.empty(), cut == 0);
    }
    ASSERT_TRUE(test::send_all(pair.far.get(), concat({std::span(wire).subspan(sent), frame(kNext)})));
    EXPECT_EQ(read(vr.clock->now() + 5s), payload);
    EXPECT_EQ(read(vr.clock->now() + 5s), kNext);
    EXPECT_TRUE(partial.empty());
}

INSTANTIATE_TEST_SUITE_P(Cuts, PacketDeadlineTest,
                         ::testing::Values(std::vector<std::size_t>{0}, std::vector<std::size_t>{2},
                                           std::vector<std::size_t>{4}, std::vector<std::size_t>{9},
                                           std::vector<std::size_t>{1, 3, 4, 10, 14}));

}  // namespace
}  // namespace kelpie
