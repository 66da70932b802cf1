// One client's connection to an HDC host server and the operations on it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "error.hpp"
#include "net/tcp_stream.hpp"
#include "protocol/packet.hpp"
#include "runtime/clock.hpp"
#include "runtime/task.hpp"

namespace kelpie {

inline constexpr auto CONNECT_TIMEOUT = std::chrono::seconds(10);
// How long the server may take to send its handshake record once the TCP
// connection is open. Unbounded, a port whose service waits for the client to
// speak first would hold the caller (and the interpreter lock) forever.
inline constexpr auto HANDSHAKE_TIMEOUT = std::chrono::seconds(10);
inline constexpr std::size_t HANDSHAKE_MIN_LEN = 44;
inline constexpr std::size_t HANDSHAKE_LONG_LEN = 108;
inline constexpr std::size_t BANNER_LEN = 12;
inline constexpr std::size_t CONNECT_KEY_LEN = 32;

// A TCP stream and the packet its last read left unfinished.
struct Connection {
    TcpStream stream;
    PartialPacket partial;
};

class AsyncClient {
public:
    // Opens a connection within CONNECT_TIMEOUT and completes the handshake without a key.
    static Task<Result<AsyncClient>> connect(std::string address);

    // Replaces the current connection by a new one to the client's address.
    Task<Result<void>> open_connection();
    Task<Result<void>> handshake(std::optional<std::string_view> connect_key = std::nullopt);

    bool connected() const { return connected_; }
    bool has_stream() const { return connection_.has_value(); }
    const std::string& address() const { return address_; }
    const std::optional<std::string>& connect_key() const { return connect_key_; }
    std::uint32_t channel_id() const { return channel_id_; }

private:
    explicit AsyncClient(std::string address) : address_(std::move(address)) {}

    std::optional<Connection> connection_;
    std::string address_;
    std::optional<std::string> connect_key_;
    std::uint32_t channel_id_ = 0;
    bool connected_ = false;
    // When the current connection was opened; bounds the handshake wait.
    Instant opened_at_{};
};

}  // namespace kelpie
