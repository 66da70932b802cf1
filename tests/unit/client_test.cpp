#include <sys/resource.h>

#include <gtest/gtest.h>

#include <thread>

#include "blocking.hpp"
#include "client.hpp"
#include "fixtures.hpp"

namespace kelpie {
namespace {

using namespace std::chrono_literals;
using test::bytes_of;
using test::concat;
using test::Listener;

// Plays the server: accepts one connection per record, sends the record as
// one packet and keeps whatever the client sends until it closes.
class FakeServer {
public:
    explicit FakeServer(std::vector<Bytes> records)
        : thread_([this, records = std::move(records)] {
              for (const Bytes& r : records) {
                  Fd c = listener_.accept();
                  if (!c) return;
                  if (!test::send_all(c.get(), test::frame(r))) return;
                  received_.push_back(test::read_until_eof(c.get()));
              }
          }) {}
    ~FakeServer() {
        if (thread_.joinable()) thread_.join();
    }
    std::string address() const { return listener_.address(); }
    std::uint16_t port() const { return listener_.port(); }
    // Only once every record's connection has been accepted.
    void stop_listening() { listener_.close(); }
    // What each connection carried from the client, once the client has closed them all.
    std::vector<Bytes> finish() {
        thread_.join();
        return received_;
    }

private:
    Listener listener_;
    std::vector<Bytes> received_;
    std::thread thread_;
};

// "OHOS HDC", four more banner bytes, channel 42, then filler that is never zero.
Bytes server_record(std::size_t len, std::string_view banner = "OHOS HDC") {
    Bytes r = concat({bytes_of(banner), Bytes{0xA1, 0xA2, 0xA3, 0xA4}, Bytes{0, 0, 0, 0x2A}});
    for (std::size_t i = r.size(); i < len; ++i) r.push_back(static_cast<std::uint8_t>(0x40 + i % 64));
    r.resize(len);
    return r;
}

Bytes zero_banner(Bytes record) {
    std::fill_n(record.begin(), BANNER_LEN, 0);
    return record;
}

Bytes expected_reply(const Bytes& record, std::string_view key) {
    Bytes key_field(CONNECT_KEY_LEN, 0);
    std::copy_n(key.begin(), std::min(key.size(), CONNECT_KEY_LEN), key_field.begin());
    Bytes reply = concat({std::span(record).first(BANNER_LEN), key_field});
    if (record.size() >= HANDSHAKE_LONG_LEN) reply = concat({reply, std::span(record).subspan(44, 64)});
    return test::frame(reply);
}

// Connects; with a key, opens a second connection and handshakes again with it.
Task<Result<AsyncClient>> connect_with(std::string address, std::optional<std::string> key) {
    auto client = co_await AsyncClient::connect(std::move(address));
    if (!client || !key) co_return client;
    if (auto r = co_await client->open_connection(); !r) co_return fail(std::move(r.error()));
    if (auto r = co_await client->handshake(*key); !r) co_return fail(std::move(r.error()));
    co_return client;
}

struct HandshakeCase {
    const char* name;
    Bytes record;
    std::optional<std::string> key;
    std::string error;  // empty: the handshake succeeds
};

class HandshakeTest : public ::testing::TestWithParam<HandshakeCase> {};

TEST_P(HandshakeTest, RepliesOrRefuses) {
    const auto& c = GetParam();
    std::vector<Bytes> records{c.record};
    if (c.key) records.insert(records.begin(), server_record(44));
    FakeServer server(records);
    auto rt = test::real_runtime();
    {
        auto client = rt->block_on(connect_with(server.address(), c.key));
        if (!c.error.empty()) {
            ASSERT_FALSE(client);
            EXPECT_EQ(client.error().message(), c.error);
        } else {
            ASSERT_TRUE(client) << client.error().message();
            EXPECT_TRUE(client->connected());
            EXPECT_EQ(client->channel_id(), 42u);
            EXPECT_EQ(client->connect_key(), c.key);
            EXPECT_EQ(client->address(), server.address());
        }
    }
    const auto received = server.finish();
    ASSERT_EQ(received.size(), records.size());
    EXPECT_EQ(received.back(), c.error.empty() ? expected_reply(c.record, c.key.value_or("")) : Bytes{});
}

const std::string kKey40 = "0123456789abcdefghijklmnopqrstuvwxyzABCD";

INSTANTIATE_TEST_SUITE_P(
    Records, HandshakeTest,
    ::testing::Values(
        HandshakeCase{"record_44", server_record(44), {}, ""},
        HandshakeCase{"record_60", server_record(60), {}, ""},
        HandshakeCase{"record_107", server_record(107), {}, ""},
        HandshakeCase{"record_108", server_record(108), {}, ""},
        HandshakeCase{"record_120", server_record(120), {}, ""},
        HandshakeCase{"key_40", server_record(108), kKey40, ""},
        HandshakeCase{"key_5", server_record(44), "abcde", ""},
        HandshakeCase{"record_43", server_record(43), {},
                      "Protocol error: Handshake data too short: expected at least 44, got 43"},
        HandshakeCase{"record_empty", {}, {}, "Protocol error: Received zero-length packet"},
        HandshakeCase{"zero_banner", zero_banner(server_record(44)), {},
                      "Invalid banner: expected 'OHOS HDC', got [0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0]"},
        HandshakeCase{"lowercase_c", server_record(44, "OHOS HDc"), {},
                      "Invalid banner: expected 'OHOS HDC', got [79, 72, 79, 83, 32, 72, 68, 99, 161, 162, 163, 164]"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ConnectTest, HostNameGoesThroughTheResolver) {
    FakeServer server({server_record(44)});
    auto rt = test::real_runtime();
    {
        auto client = rt->block_on(AsyncClient::connect("localhost:" + std::to_string(server.port())));
        ASSERT_TRUE(client) << client.error().message();
        EXPECT_TRUE(client->connected());
    }
    EXPECT_EQ(server.finish().at(0), expected_reply(server_record(44), ""));
}

TEST(ConnectTest, BadAddressesAndRefusals) {
    Listener closed(-1);
    const std::pair<std::string, std::string> cases[] = {
        {closed.address(), "I/O error: Connection refused (os error 111)"},
        {"localhost:" + std::to_string(closed.port()), "I/O error: Connection refused (os error 111)"},
        {"localhost", "I/O error: invalid socket address"},
        {"127.0.0.1", "I/O error: invalid socket address"},
        {"localhost:65536", "I/O error: invalid port value"},
    };
    auto rt = test::real_runtime();
    for (const auto& [address, message] : cases) {
        auto client = rt->block_on(AsyncClient::connect(address));
        ASSERT_FALSE(client) << address;
        EXPECT_EQ(client.error().message(), message) << address;
    }
}

// Re-opening a connection that is refused leaves the client without a stream;
// a handshake then has nothing to read from.
TEST(ConnectTest, HandshakeWithoutAStreamIsNotConnected) {
    FakeServer server({server_record(44)});
    auto rt = test::real_runtime();
    auto client = rt->block_on(AsyncClient::connect(server.address()));
    ASSERT_TRUE(client) << client.error().message();
    server.stop_listening();
    const auto reopened = rt->block_on(client->connect_device("device"));
    ASSERT_FALSE(reopened);
    EXPECT_EQ(reopened.error().message(), "I/O error: Connection refused (os error 111)");
    EXPECT_FALSE(client->has_stream());
    EXPECT_FALSE(client->connected());
    const auto shaken = rt->block_on(client->handshake("key"));
    ASSERT_FALSE(shaken);
    EXPECT_EQ(shaken.error().message(), "Not connected to HDC server");
    EXPECT_EQ(client->connect_key(), std::nullopt);
}

// A listener whose one-slot queue is taken: further connection attempts get no answer.
TEST(ConnectTest, UnansweredConnectTimesOutAfterTenSeconds) {
    Listener full(0);
    Fd filler(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(full.port());
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(filler.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);

    auto [clock, rt] = test::virtual_runtime();
    const Instant start = clock->now();
    const auto t0 = std::chrono::steady_clock::now();
    auto client = rt->block_on(AsyncClient::connect(full.address()));
    ASSERT_FALSE(client);
    EXPECT_EQ(client.error().message(), "Operation timed out");
    EXPECT_EQ(clock->now() - start, Duration(CONNECT_TIMEOUT));
    EXPECT_LT(test::real_seconds_since(t0), 2.0);
}

TEST(ConnectTest, SilentServerTimesOutTenSecondsAfterTheConnectionOpened) {
    Listener silent;  // the kernel completes connections; nobody ever speaks
    auto [clock, rt] = test::virtual_runtime();
    const Instant start = clock->now();
    const auto t0 = std::chrono::steady_clock::now();
    auto client = rt->block_on(AsyncClient::connect(silent.address()));
    ASSERT_FALSE(client);
    EXPECT_EQ(client.error().message(), "Operation timed out");
    EXPECT_EQ(clock->now() - start, Duration(HANDSHAKE_TIMEOUT));
    EXPECT_LT(test::real_seconds_since(t0), 2.0);
}

TEST(BlockingClientTest, ConnectsAndHandshakes) {
    FakeServer server({server_record(44)});
    {
        auto client = BlockingClient::connect(server.address());
        ASSERT_TRUE(client) << client.error().message();
        EXPECT_TRUE(client->async_client().connected());
        EXPECT_EQ(client->async_client().channel_id(), 42u);
    }
    EXPECT_EQ(server.finish().at(0), expected_reply(server_record(44), ""));
}

TEST(BlockingClientTest, RefusedRuntimeResourcesAreAnIoError) {
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    const int lowest_free = ::dup(0);
    ASSERT_GE(lowest_free, 0);
    ::close(lowest_free);
    rlimit none_left = saved;
    none_left.rlim_cur = static_cast<rlim_t>(lowest_free);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &none_left), 0);
    auto client = BlockingClient::connect("127.0.0.1:1");
    ::setrlimit(RLIMIT_NOFILE, &saved);
    ASSERT_FALSE(client);
    EXPECT_EQ(client.error().message(), "I/O error: Too many open files (os error 24)");
}

// The resolver thread of a failed attempt is gone once connect returns, both
// when the connection is refused and when the limit strikes during resolution.
TEST(BlockingClientTest, FailedConnectLeavesNoThread) {
    Listener closed(-1);
    const std::string address = "localhost:" + std::to_string(closed.port());
    const std::size_t before = test::thread_count();

    auto refused = BlockingClient::connect(address);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().message(), "I/O error: Connection refused (os error 111)");
    EXPECT_EQ(test::settled_thread_count(before), before);

    auto [clock, rt] = test::virtual_runtime(0ms);
    auto cut_short = BlockingClient::connect(address, std::move(rt));
    ASSERT_FALSE(cut_short);
    EXPECT_EQ(test::settled_thread_count(before), before) << cut_short.error().message();
}

}  // namespace
}  // namespace kelpie
