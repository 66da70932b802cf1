#include "client.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

#include "net/address.hpp"
#include "runtime/runtime.hpp"

namespace kelpie {

namespace {

Task<Result<std::vector<SocketAddress>>> candidates(const std::string& address, Instant deadline) {
    // The system calls below read C strings: a NUL would silently cut the
    // address short and connect somewhere the caller never named.
    if (address.find('\0') != std::string::npos) co_return fail(ClientError::io_text("invalid socket address"));
    if (auto numeric = parse_numeric_address(address)) co_return std::vector<SocketAddress>{*numeric};
    auto target = split_host_port(address);
    if (!target) co_return fail(std::move(target.error()));
    // Named, not a temporary: GCC 12 copies a capturing lambda temporary inside
    // a co_await expression bit by bit, leaving its string pointing at the old copy.
    auto lookup = [t = std::move(*target)] { return resolve(t); };
    auto resolved = co_await run_blocking(std::move(lookup), deadline);
    if (!resolved) co_return fail(std::move(resolved.error()));
    if (!*resolved) co_return fail(ClientError::timeout());
    co_return std::move(**resolved);
}

}  // namespace

Task<Result<AsyncClient>> AsyncClient::connect(std::string address) {
    AsyncClient client(std::move(address));
    if (auto r = co_await client.open_connection(); !r) co_return fail(std::move(r.error()));
    if (auto r = co_await client.handshake(); !r) co_return fail(std::move(r.error()));
    co_return std::move(client);
}

AsyncClient AsyncClient::adopt(std::string address, TcpStream stream, Instant opened_at) {
    AsyncClient client(std::move(address));
    client.connection_.emplace(Connection{std::move(stream), {}});
    client.opened_at_ = opened_at;
    return client;
}

Task<Result<void>> AsyncClient::open_connection() {
    Runtime& rt = Runtime::current();
    const Instant deadline = rt.now() + CONNECT_TIMEOUT;
    auto addrs = co_await candidates(address_, deadline);
    if (!addrs) co_return fail(std::move(addrs.error()));
    std::optional<ClientError> last;
    for (const SocketAddress& a : *addrs) {
        auto stream = co_await TcpStream::connect(a, deadline);
        if (stream) {
            connection_.emplace(Connection{std::move(*stream), {}});
            connection_->reader.expect_reply();  // the server's greeting is still on its way
            opened_at_ = rt.now();
            co_return Result<void>{};
        }
        // The deadline covers every attempt: once it has passed, none is left to try.
        if (stream.error().kind() == ErrorKind::Timeout) co_return fail(std::move(stream.error()));
        last = std::move(stream.error());
    }
    if (last) co_return fail(std::move(*last));
    co_return fail(ClientError::io_text("could not resolve to any address"));
}

Task<Result<void>> AsyncClient::handshake(std::optional<std::string_view> connect_key) {
    if (!connection_) co_return fail(ClientError::not_connected());
    auto record = co_await read_packet(connection_->stream, connection_->reader, opened_at_ + HANDSHAKE_TIMEOUT);
    if (!record) co_return fail(std::move(record.error()));
    const Bytes& in = *record;
    if (in.size() < HANDSHAKE_MIN_LEN)
        co_return fail(ClientError::protocol("Handshake data too short: expected at least " +
                                             std::to_string(HANDSHAKE_MIN_LEN) + ", got " + std::to_string(in.size())));
    static constexpr char kBanner[] = "OHOS HDC";
    if (std::memcmp(in.data(), kBanner, 8) != 0)
        co_return fail(ClientError::invalid_banner(std::span(in.data(), BANNER_LEN)));
    channel_id_ = (std::uint32_t{in[12]} << 24) | (std::uint32_t{in[13]} << 16) | (std::uint32_t{in[14]} << 8) |
                  std::uint32_t{in[15]};

    const std::size_t reply_len = in.size() >= HANDSHAKE_LONG_LEN ? HANDSHAKE_LONG_LEN : HANDSHAKE_MIN_LEN;
    Bytes reply(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(reply_len));
    std::fill(reply.begin() + BANNER_LEN, reply.begin() + BANNER_LEN + CONNECT_KEY_LEN, 0);
    if (connect_key) {
        const std::size_t n = std::min(connect_key->size(), CONNECT_KEY_LEN);
        std::memcpy(reply.data() + BANNER_LEN, connect_key->data(), n);
        connect_key_ = std::string(*connect_key);
    }
    if (auto w = co_await write_packet(connection_->stream, reply); !w) co_return fail(std::move(w.error()));
    connected_ = true;
    co_return Result<void>{};
}

}  // namespace kelpie
