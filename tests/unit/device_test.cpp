// connect_device: what each failure of the reopening leaves behind, and what a
// new connection does not inherit from the old one.
#include <gtest/gtest.h>

#include "client.hpp"
#include "scripted_server.hpp"

namespace kelpie {
namespace {

using namespace std::chrono_literals;
using test::bytes_of;
using test::concat;
using test::frame;
using test::outcome;

const std::string kKey40 = "0123456789abcdefghijklmnopqrstuvwxyzABCD";

Task<void> accept_and_close(int listen_fd, Fd& into) {
    Bytes none;
    co_await test::accept_next(listen_fd, into, std::move(none));
    into.reset();
}

Task<Result<std::string>> first_target(AsyncClient& c) {
    auto r = co_await c.list_targets();
    if (!r) co_return fail(std::move(r.error()));
    co_return r->empty() ? std::string("<none>") : r->front();
}

enum class Reopen { Refused, Unanswered, Silent, ShortRecord, BadBanner, ClosedAtOnce };

struct ReopenCase {
    const char* name;
    Reopen how;
    std::string error;
    bool keeps_stream;
    Duration took;
    friend void PrintTo(const ReopenCase& c, std::ostream* os) { *os << c.name; }
};

class ReopenTest : public test::ServerTest, public ::testing::WithParamInterface<ReopenCase> {
protected:
    // Makes the next connection attempt fail the case's way, or be answered by `side`.
    Task<void> arrange(Reopen how, Fd& fresh, Fd& filler) {
        switch (how) {
            case Reopen::Refused:
                listener.reset();
                return test::nothing();
            case Reopen::Unanswered:
                // A full accept queue: the kernel lets the attempt go unanswered.
                listener.reset();
                listener.emplace(0, port);
                filler = Fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
                if (!connect_to(filler.get())) ADD_FAILURE() << "filler";
                return test::nothing();
            case Reopen::Silent:
                return test::accept_next(listener->fd(), fresh, {});
            case Reopen::ShortRecord:
                return test::accept_next(listener->fd(), fresh, frame(test::handshake_record(43)));
            case Reopen::BadBanner:
                return test::accept_next(listener->fd(), fresh, frame(test::handshake_record(44, "OHOS HDc")));
            case Reopen::ClosedAtOnce:
                return accept_and_close(listener->fd(), fresh);
        }
        return test::nothing();
    }

    bool connect_to(int fd) const {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    }

    void listen_again() {
        listener.reset();
        listener.emplace(16, port);
    }
};

TEST_P(ReopenTest, FailureLeavesTheClientNotConnectedUntilAReconnection) {
    const ReopenCase& c = GetParam();
    Fd fresh, filler;
    const Instant start = now();
    const auto r = run(client->connect_device("dev"), arrange(c.how, fresh, filler));
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), c.error);
    EXPECT_EQ(since(start), c.took);
    EXPECT_EQ(test::rest_until_eof(conn.get()), Bytes{}) << "the old connection is closed first";
    EXPECT_FALSE(client->connected());
    EXPECT_EQ(client->has_stream(), c.keeps_stream);
    EXPECT_EQ(client->connect_key(), std::nullopt);
    if (c.keeps_stream && fresh) {
        EXPECT_TRUE(test::open_and_silent(fresh.get()));
    }

    // Commands are refused at once, without a byte on any connection.
    const Instant refused_at = now();
    EXPECT_EQ(outcome(run(client->shell("ls"))), "error: Not connected to HDC server");
    EXPECT_EQ(outcome(run(first_target(*client))), "error: Not connected to HDC server");
    EXPECT_EQ(since(refused_at), 0s);
    if (c.keeps_stream && fresh) {
        EXPECT_TRUE(test::open_and_silent(fresh.get()));
    }

    if (!listener || c.how == Reopen::Unanswered) listen_again();
    // Removal does not need the client's own connection.
    Fd temporary;
    const auto removed = run(client->fport_remove("tcp:1 tcp:1"),
                             test::accept_next(listener->fd(), temporary,
                                               concat({frame(test::handshake_record()), frame(bytes_of("removed"))})));
    EXPECT_EQ(outcome(removed), "removed");
    EXPECT_TRUE(test::rest_until_eof(temporary.get()));

    // A reconnection restores Ready; the key is kept whole.
    Fd again;
    const auto back = run(client->connect_device(kKey40),
                          test::accept_next(listener->fd(), again, frame(test::handshake_record())));
    ASSERT_TRUE(back) << back.error().message();
    EXPECT_TRUE(client->connected());
    EXPECT_EQ(client->connect_key(), kKey40);
    EXPECT_EQ(test::next_packet(again.get()), test::handshake_reply(kKey40));
    if (c.keeps_stream && fresh) {
        EXPECT_EQ(test::rest_until_eof(fresh.get()), Bytes{});
    }
    ASSERT_TRUE(test::send_all(again.get(), frame(bytes_of("device-1\n"))));
    EXPECT_EQ(outcome(run(first_target(*client))), "device-1");
    EXPECT_EQ(test::next_command(again.get()), "list targets");
}

INSTANTIATE_TEST_SUITE_P(
    Failures, ReopenTest,
    ::testing::Values(
        ReopenCase{"refused", Reopen::Refused, "I/O error: Connection refused (os error 111)", false, 0s},
        ReopenCase{"unanswered", Reopen::Unanswered, "Operation timed out", false, CONNECT_TIMEOUT},
        ReopenCase{"silent", Reopen::Silent, "Operation timed out", true, HANDSHAKE_TIMEOUT},
        ReopenCase{"short_record", Reopen::ShortRecord,
                   "Protocol error: Handshake data too short: expected at least 44, got 43", true, 0s},
        ReopenCase{"bad_banner", Reopen::BadBanner,
                   "Invalid banner: expected 'OHOS HDC', got [79, 72, 79, 83, 32, 72, 68, 99, 161, 162, 163, 164]",
                   true, 0s},
        ReopenCase{"closed_at_once", Reopen::ClosedAtOnce, "I/O error: early eof", true, 0s}),
    [](const auto& info) { return std::string(info.param.name); });

class DeviceTest : public test::ServerTest {};

// A packet cut short on the old connection is dropped with it: the new
// connection's handshake and first reply are read from their own first byte.
TEST_F(DeviceTest, NewConnectionKeepsNothingOfTheOldOnesPacket) {
    send_raw(concat({frame(bytes_of("early\n")), test::header(12), bytes_of("dev-1\n")}));
    EXPECT_EQ(outcome(run(client->hilog(std::nullopt))), "early\n");
    Fd fresh;
    const auto bound = run(client->connect_device(""),
                           test::accept_next(listener->fd(), fresh,
                                             concat({frame(test::handshake_record()), frame(bytes_of("fresh\n"))})));
    ASSERT_TRUE(bound) << bound.error().message();
    EXPECT_EQ(client->connect_key(), "");
    EXPECT_EQ(test::next_packet(fresh.get()), test::handshake_reply());
    EXPECT_EQ(outcome(run(first_target(*client))), "fresh");
}

}  // namespace
}  // namespace kelpie
