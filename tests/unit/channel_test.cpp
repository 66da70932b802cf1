// Operations that read exactly one reply: no time limit on it, and the
// temporary connection of fport_remove.
#include <gtest/gtest.h>

#include <thread>

#include "blocking.hpp"
#include "client.hpp"
#include "scripted_server.hpp"

namespace kelpie {
namespace {

using namespace std::chrono_literals;
using test::bytes_of;
using test::concat;
using test::frame;
using test::outcome;
using test::Step;

Task<Result<std::string>> targets(AsyncClient& c) {
    auto r = co_await c.list_targets();
    if (!r) co_return fail(std::move(r.error()));
    std::string joined;
    for (const auto& t : *r) joined += t + ";";
    co_return joined;
}

Task<Result<std::string>> forward(AsyncClient& c, bool reverse) {
    auto first = ForwardNode::parse(reverse ? "tcp:9090" : "tcp:8080");
    auto second = ForwardNode::parse(reverse ? "tcp:8080" : "tcp:9000");
    if (reverse) co_return co_await c.rport(std::move(*first), std::move(*second));
    co_return co_await c.fport(std::move(*first), std::move(*second));
}

struct OneReplyCase {
    const char* name;
    Task<Result<std::string>> (*start)(AsyncClient&);
    const char* command;
    const char* reply;
    const char* result;
    friend void PrintTo(const OneReplyCase& c, std::ostream* os) { *os << c.name; }
};

class OneReplyTest : public test::ServerTest, public ::testing::WithParamInterface<OneReplyCase> {};

// A reply that comes after 1000 s of virtual time is still taken: the clock
// only gets there because no limit of the operation's own ends the wait first.
TEST_P(OneReplyTest, WaitsWithoutALimit) {
    const OneReplyCase& c = GetParam();
    const Instant start = now();
    std::vector<Step> late{{1000s, frame(bytes_of(c.reply))}};
    const auto r = run(c.start(*client), test::send_at(conn.get(), std::move(late)));
    EXPECT_EQ(outcome(r), c.result);
    EXPECT_EQ(since(start), Duration(1000s));
    EXPECT_EQ(test::next_command(conn.get()), c.command);
}

INSTANTIATE_TEST_SUITE_P(
    Ops, OneReplyTest,
    ::testing::Values(
        OneReplyCase{"list_targets", targets, "list targets", "a\n b \n", "a;b;"},
        OneReplyCase{"wait_for_device", [](AsyncClient& c) { return c.wait_for_device(); }, "wait",
                     "device is  ABC \n", "ABC"},
        OneReplyCase{"fport", [](AsyncClient& c) { return forward(c, false); }, "fport tcp:8080 tcp:9000",
                     "[Fail]forward exists", "[Fail]forward exists"},
        OneReplyCase{"rport", [](AsyncClient& c) { return forward(c, true); }, "rport tcp:9090 tcp:8080", "OK",
                     "OK"},
        OneReplyCase{"uninstall", [](AsyncClient& c) { return c.uninstall("com.example.app", true, false); },
                     "uninstall -k com.example.app", "Fail: not installed", "Fail: not installed"}),
    [](const auto& info) { return std::string(info.param.name); });

const std::string kTask = "tcp:8080 tcp:8080";

// The client's own connection is bound to a device; removal goes over a
// connection of its own, made with no key.
class FportRemoveTest : public test::ServerTest {
protected:
    void SetUp() override {
        ServerTest::SetUp();
        Fd own;
        auto bound = run(client->connect_device("OWNKEY"), test::accept_next(listener->fd(), own, frame(test::handshake_record())));
        ASSERT_TRUE(bound) << bound.error().message();
        conn = std::move(own);
        ASSERT_EQ(test::next_packet(conn.get()).size(), HANDSHAKE_MIN_LEN);
    }

    // What the server received on the temporary connection, once the client closed it.
    std::optional<Bytes> received_on(Fd& temporary) { return test::rest_until_eof(temporary.get()); }

    // The own connection carried nothing and still works.
    void own_connection_untouched() {
        EXPECT_EQ(test::pending(conn.get()), 0);
        EXPECT_TRUE(client->connected());
        EXPECT_EQ(client->connect_key(), "OWNKEY");
        queue({bytes_of("dev\n")});
        EXPECT_EQ(outcome(run(targets(*client))), "dev;");
        EXPECT_EQ(test::next_command(conn.get()), "list targets");
    }
};

const Bytes kZeroKeyReply = frame(test::handshake_reply());

struct RemoveCase {
    const char* name;
    Bytes greeting;  // what the server sends on the temporary connection
    std::string result;
    bool command_sent;
    Duration took;
    friend void PrintTo(const RemoveCase& c, std::ostream* os) { *os << c.name; }
};

class FportRemoveCaseTest : public FportRemoveTest, public ::testing::WithParamInterface<RemoveCase> {};

TEST_P(FportRemoveCaseTest, ClosesItsConnectionOnEveryPath) {
    const RemoveCase& c = GetParam();
    Fd temporary;
    const Instant start = now();
    const auto r = run(client->fport_remove(kTask), test::accept_next(listener->fd(), temporary, c.greeting));
    EXPECT_EQ(outcome(r), c.result);
    EXPECT_EQ(since(start), c.took);
    const Bytes expected = c.command_sent ? concat({kZeroKeyReply, frame(bytes_of("fport rm " + kTask))}) : Bytes{};
    EXPECT_EQ(received_on(temporary), expected);
    own_connection_untouched();
}

const Bytes kRecord = frame(test::handshake_record());

INSTANTIATE_TEST_SUITE_P(
    Replies, FportRemoveCaseTest,
    ::testing::Values(
        RemoveCase{"removed", concat({kRecord, frame(bytes_of("Remove forward ruler success"))}),
                   "Remove forward ruler success", true, 0s},
        RemoveCase{"fail", concat({kRecord, frame(bytes_of("[Fail]no such task"))}),
                   "error: Protocol error: [Fail]no such task", true, 0s},
        RemoveCase{"zero_length", concat({kRecord, test::header(0)}),
                   "error: Protocol error: Received zero-length packet", true, 0s},
        RemoveCase{"bad_banner", frame(test::handshake_record(44, "OHOS HDc")),
                   "error: Invalid banner: expected 'OHOS HDC', got [79, 72, 79, 83, 32, 72, 68, 99, 161, 162, 163, 164]",
                   false, 0s},
        RemoveCase{"silent", {}, "error: Operation timed out", false, HANDSHAKE_TIMEOUT}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FportRemoveTest, WaitsForItsReplyWithoutALimit) {
    Fd temporary;
    const Instant start = now();
    std::vector<Step> late{{1000s, frame(bytes_of("done"))}};
    const auto r = run(client->fport_remove(kTask), test::accept_then(listener->fd(), temporary, kRecord, std::move(late)));
    EXPECT_EQ(outcome(r), "done");
    EXPECT_EQ(since(start), Duration(1000s));
    EXPECT_TRUE(received_on(temporary));
}

// The facade parses both node texts, first argument first, before any I/O.
TEST(BlockingForwardTest, NodesAreParsedBeforeAnythingIsSent) {
    test::Listener listener;
    Bytes received;
    std::thread peer([&] {
        Fd c = listener.accept();
        if (!c || !test::send_all(c.get(), concat({kRecord, frame(bytes_of("OK"))}))) return;
        received = test::read_until_eof(c.get());
    });
    {
        auto client = BlockingClient::connect(listener.address());
        ASSERT_TRUE(client) << client.error().message();
        const std::tuple<bool, const char*, const char*, const char*> refused[] = {
            {false, "tcp:99999", "tcp:1", "Protocol error: Invalid TCP port: 99999"},
            {false, "tcp:1", "jdwp:", "Protocol error: Invalid JDWP pid: "},
            {true, "ark:1@2", "tcp:x", "Protocol error: Invalid ark format: expected pid@tid@debugger, got 1@2"},
        };
        for (const auto& [reverse, a, b, message] : refused) {
            const auto r = reverse ? client->rport(a, b) : client->fport(a, b);
            ASSERT_FALSE(r) << a << " " << b;
            EXPECT_EQ(r.error().message(), message);
        }
        EXPECT_EQ(outcome(client->rport("tcp:+0090", "localabstract:my sock")), "OK");
    }
    peer.join();
    EXPECT_EQ(received, concat({kZeroKeyReply, frame(bytes_of("rport tcp:90 localabstract:my sock"))}));
}

}  // namespace
}  // namespace kelpie
