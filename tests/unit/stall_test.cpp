// Fault injection: for every operation, the server sends its side of the
// exchange but stalls, connection open, after each byte offset. On the virtual
// clock every case must end exactly as the operation's limits say, or, where
// an operation has no limit, still be waiting an hour later; and the bytes the
// server sends afterwards must complete the cut packet whole and in order.
#include <poll.h>

#include <gtest/gtest.h>

#include <functional>

#include "client.hpp"
#include "fixtures.hpp"

namespace kelpie {
namespace {

using namespace std::chrono_literals;
using test::bytes_of;
using test::concat;
using test::frame;

Bytes coded(std::string_view text) { return concat({Bytes{1, 0}, bytes_of(text)}); }
const Bytes kEnd{5, 0};  // a reply holding only a command code

Bytes record() {
    Bytes r = concat({bytes_of("OHOS HDC"), Bytes{0xA1, 0xA2, 0xA3, 0xA4}, Bytes{0, 0, 0, 0x2A}});
    r.resize(HANDSHAKE_MIN_LEN, 0x41);
    return r;
}

Bytes key_reply() {
    Bytes r = record();
    std::fill(r.begin() + BANNER_LEN, r.end(), 0);
    return frame(r);
}

std::string rendered(const Result<std::string>& r) { return r ? *r : "error: " + r.error().message(); }
std::string rendered(const Result<Output>& r) { return r ? r->str() : "error: " + r.error().message(); }

template <class T>
Task<T> alongside(Task<T> op, Task<void> side) {
    side.start();
    co_return co_await op;
}

// Sends `bytes` on a blocking descriptor once `delay` of virtual time has passed.
Task<void> later(int fd, Duration delay, Bytes bytes) {
    Runtime& rt = Runtime::current();
    co_await rt.reactor().sleep_until(rt.now() + delay);
    test::send_all(fd, bytes);
}

Bytes take(int fd, std::size_t n) {
    Bytes b(n);
    for (std::size_t got = 0; got < n;) {
        const ssize_t r = ::recv(fd, b.data() + got, n - got, 0);
        if (r <= 0) return {};
        got += static_cast<std::size_t>(r);
    }
    return b;
}

using Start = std::function<Task<Result<std::string>>(AsyncClient&)>;

struct Op {
    const char* name;
    Start start;
    std::string command;
    std::vector<Bytes> replies;
    // Collecting operations: the outcome, and when it comes, once the first i
    // replies are whole and the server stalls before the next is (i = all:
    // nothing stalls). Operations without a limit list only the final outcome.
    std::vector<std::pair<std::string, Duration>> at;
    friend void PrintTo(const Op& op, std::ostream* os) { *os << op.name; }

    Bytes wire() const {
        Bytes w;
        for (const Bytes& r : replies) w = concat({w, frame(r)});
        return w;
    }
    bool limited() const { return at.size() > 1; }
    // How many replies are whole among the first k bytes.
    std::size_t whole(std::size_t k) const {
        std::size_t i = 0;
        for (std::size_t end = 0; i < replies.size() && (end += 4 + replies[i].size()) <= k;) ++i;
        return i;
    }
};

Task<Result<std::string>> targets(AsyncClient& c) {
    auto r = co_await c.list_targets();
    if (!r) co_return fail(std::move(r.error()));
    std::string joined;
    for (const std::string& t : *r) joined += (joined.empty() ? "" : ",") + t;
    co_return joined;
}

const std::vector<std::string> kPackage{"a.hap"};
const FileTransferOptions kNoFlags;
const FileTransferOptions kSync{.sync_mode = true};
const std::string kTimedOut = "error: Operation timed out";

std::vector<Op> pair_ops() {
    return {
        {"shell", [](AsyncClient& c) { return test::as_text(c.shell("ls")); }, "shell ls",
         {coded("hi\n"), bytes_of(std::string("\0\0x", 3)), coded("ab"), kEnd},
         // A line end starts a 100 ms look for a trailing packet; a trailing
         // packet puts shell back to waiting up to 5 s for the next reply.
         {{"", 5s}, {"hi\n", 100ms}, {"hi\nx", 5s}, {"hi\nxab", 5s}, {"hi\nxab", 0s}}},
        {"hilog", [](AsyncClient& c) { return test::as_text(c.hilog("-t T")); }, "hilog -t T",
         {coded("l1\n"), coded("\xE4\xB8"), coded("\xAD\n"), kEnd},
         {{kTimedOut, 5s},
          {"l1\n", 5s},
          {"error: UTF-8 error: incomplete utf-8 byte sequence from index 0", 5s},
          {"l1\n\u4E2D\n", 5s},
          {"l1\n\u4E2D\n", 0s}}},
        {"file_send", [](AsyncClient& c) { return test::as_text(c.file_send("l", "r", kNoFlags)); }, "file send l r",
         {coded("50%\n"), coded("FileTransfer finish")},
         {{kTimedOut, 60s}, {"50%\n", 60s}, {"50%\nFileTransfer finish", 0s}}},
        {"file_recv", [](AsyncClient& c) { return test::as_text(c.file_recv("r", "l", kSync)); },
         "file recv -sync r l", {coded("1%"), kEnd}, {{kTimedOut, 60s}, {"1%", 60s}, {"1%", 0s}}},
        {"install", [](AsyncClient& c) { return test::as_text(c.install(kPackage, true, false)); }, "install -r a.hap",
         {coded("installing\n"), coded("Success")},
         {{"", 30s}, {"installing\n", 30s}, {"installing\nSuccess", 0s}}},
        {"list_targets", targets, "list targets", {coded("d1\r\nd2\n")}, {{"d1,d2", 0s}}},
        {"wait_for_device", [](AsyncClient& c) { return c.wait_for_device(); }, "wait", {bytes_of("device is D1\n")},
         {{"D1", 0s}}},
        {"fport",
         [](AsyncClient& c) { return c.fport(ForwardNode(ForwardNode::Tcp{80}), ForwardNode(ForwardNode::Tcp{81})); },
         "fport tcp:80 tcp:81", {coded("OK")}, {{"OK", 0s}}},
        {"rport",
         [](AsyncClient& c) {
             return c.rport(ForwardNode(ForwardNode::Tcp{1}), ForwardNode(ForwardNode::LocalAbstract{"a"}));
         },
         "rport tcp:1 localabstract:a", {bytes_of("[Fail]exists")}, {{"[Fail]exists", 0s}}},
        {"uninstall", [](AsyncClient& c) { return c.uninstall("p", true, true); }, "uninstall -k -s p",
         {coded("Fail: none")}, {{"Fail: none", 0s}}},
    };
}

constexpr Duration kAnHour = 1h;

class StallTest : public ::testing::TestWithParam<Op> {};

// The operations on the client's own connection: a socket pair, its far end
// played by the test with plain blocking calls.
TEST_P(StallTest, AtEveryOffset) {
    const Op& op = GetParam();
    const Bytes wire = op.wire();
    for (std::size_t k = 0; k <= wire.size(); ++k) {
        SCOPED_TRACE("stalled after " + std::to_string(k) + " bytes");
        auto vr = test::virtual_runtime(0ms);
        auto pair = test::SocketPair::make();
        const int far = pair.far.get();
        ASSERT_TRUE(test::send_all(far, concat({frame(record()), std::span(wire).first(k)})));
        AsyncClient client = AsyncClient::adopt("pair", std::move(pair.near), vr.clock->now());
        ASSERT_TRUE(vr.rt->block_on(client.handshake()));
        const Bytes rest(wire.begin() + static_cast<std::ptrdiff_t>(k), wire.end());
        const Instant start = vr.clock->now();
        const std::size_t i = op.whole(k);

        if (op.limited()) {
            const auto r = vr.rt->block_on(op.start(client));
            EXPECT_EQ(rendered(r), op.at[i].first);
            EXPECT_EQ(vr.clock->now() - start, op.at[i].second);
            // The rest completes the packet the limit cut: it is the next one read, whole.
            ASSERT_TRUE(test::send_all(far, rest));
            for (std::size_t next = i; next < op.replies.size(); ++next) {
                const auto p = vr.rt->block_on(client.recv_packet(vr.clock->now() + 1s));
                ASSERT_TRUE(p) << p.error().message();
                EXPECT_EQ(*p, op.replies[next]);
            }
        } else {
            // No limit: an hour later the operation still waits, and takes the rest as its reply.
            const auto r = vr.rt->block_on(alongside(op.start(client), later(far, kAnHour, rest)));
            EXPECT_EQ(rendered(r), op.at[0].first);
            EXPECT_EQ(vr.clock->now() - start, k == wire.size() ? 0s : kAnHour);
        }
        EXPECT_EQ(take(far, key_reply().size() + 4 + op.command.size()),
                  concat({key_reply(), frame(bytes_of(op.command))}));
        EXPECT_EQ(test::pending(far), 0);  // nothing else was sent
    }
}

INSTANTIATE_TEST_SUITE_P(Operations, StallTest, ::testing::ValuesIn(pair_ops()),
                         [](const auto& info) { return std::string(info.param.name); });

// The operations that open a connection of their own: the server stalls
// inside that connection's handshake record (limited to 10 s from the moment
// the connection opened), and for fport_remove inside its one reply too.
class OwnConnectionStallTest : public ::testing::Test {
protected:
    // Accepts the next connection once it is there, then sends `bytes` on it.
    Task<void> serve(Bytes bytes) {
        Reactor& reactor = Runtime::current().reactor();
        pollfd p{listener.fd(), POLLIN, 0};
        while (::poll(&p, 1, 0) != 1) co_await reactor.readable(listener.fd(), std::nullopt);
        accepted = listener.accept();
        test::send_all(accepted.get(), bytes);
    }

    // `op` while serve() answers; the client's own connection is a socket pair.
    template <class T, class F>
    T run(F op, Bytes first) {
        auto pair = test::SocketPair::make();
        own_far = std::move(pair.far);
        test::send_all(own_far.get(), frame(record()));
        client.emplace(AsyncClient::adopt(listener.address(), std::move(pair.near), vr.clock->now()));
        if (!vr.rt->block_on(client->handshake())) throw std::runtime_error("handshake");
        start = vr.clock->now();
        return vr.rt->block_on(alongside(op(*client), serve(std::move(first))));
    }

    // Sends the rest of the exchange on the accepted connection an hour from now.
    Task<void> after_an_hour(Bytes rest) {
        Runtime& rt = Runtime::current();
        co_await rt.reactor().sleep_until(rt.now() + kAnHour);
        test::send_all(accepted.get(), rest);
    }

    // Loopback TCP needs a moment of real time before virtual time may jump.
    test::VirtualRuntime vr = test::virtual_runtime(50ms);
    test::Listener listener;
    Fd own_far, accepted;
    std::optional<AsyncClient> client;
    Instant start{};
};

TEST_F(OwnConnectionStallTest, ConnectDeviceStalledInsideTheRecord) {
    const Bytes hello = frame(record());
    for (std::size_t k = 0; k <= hello.size(); ++k) {
        SCOPED_TRACE("stalled after " + std::to_string(k) + " bytes");
        const Bytes part(hello.begin(), hello.begin() + static_cast<std::ptrdiff_t>(k));
        const auto r = run<Result<void>>([](AsyncClient& c) { return c.connect_device("D"); }, part);
        const bool whole = k == hello.size();
        EXPECT_EQ(r ? "ok" : r.error().message(), whole ? "ok" : "Operation timed out");
        EXPECT_EQ(vr.clock->now() - start, whole ? 0s : HANDSHAKE_TIMEOUT);
        EXPECT_EQ(client->connected(), whole);
        if (!whole) {  // left in the Opened state: commands are refused
            EXPECT_EQ(rendered(vr.rt->block_on(client->shell("x"))), "error: Not connected to HDC server");
            EXPECT_EQ(test::pending(accepted.get()), 0);
        }
    }
}

TEST_F(OwnConnectionStallTest, FportRemoveStalledInsideItsConnection) {
    const Bytes reply = frame(coded("[Fail]gone"));
    const Bytes wire = concat({frame(record()), reply});
    const std::size_t record_end = wire.size() - reply.size();
    for (std::size_t k = 0; k <= wire.size(); ++k) {
        SCOPED_TRACE("stalled after " + std::to_string(k) + " bytes");
        const Bytes part(wire.begin(), wire.begin() + static_cast<std::ptrdiff_t>(k));
        const Bytes rest(wire.begin() + static_cast<std::ptrdiff_t>(k), wire.end());
        // The rest follows an hour later, when the stall is past the record.
        const auto op = [&](AsyncClient& c) -> Task<Result<std::string>> {
            Bytes after = k >= record_end ? rest : Bytes{};
            return alongside(c.fport_remove("tcp:1 tcp:2"), after_an_hour(std::move(after)));
        };
        const auto r = run<Result<std::string>>(op, part);
        if (k < record_end) {
            EXPECT_EQ(rendered(r), kTimedOut);
            EXPECT_EQ(vr.clock->now() - start, HANDSHAKE_TIMEOUT);
        } else {
            EXPECT_EQ(rendered(r), "error: Protocol error: [Fail]gone");
            EXPECT_EQ(vr.clock->now() - start, k == wire.size() ? 0s : kAnHour);
        }
        // The temporary connection is closed on every path; the client's own is untouched.
        EXPECT_TRUE(client->connected());
        EXPECT_EQ(test::pending(own_far.get()), static_cast<int>(key_reply().size()));
    }
}

}  // namespace
}  // namespace kelpie
