// One client's connection to an HDC host server and the operations on it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "forward_node.hpp"
#include "net/tcp_stream.hpp"
#include "protocol/output.hpp"
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
inline constexpr auto SHELL_REPLY_TIMEOUT = std::chrono::seconds(5);
inline constexpr auto SHELL_TRAILING_LOOK = std::chrono::milliseconds(100);
inline constexpr auto HILOG_REPLY_TIMEOUT = std::chrono::seconds(5);

inline constexpr auto FILE_REPLY_TIMEOUT = std::chrono::seconds(60);
inline constexpr auto INSTALL_REPLY_TIMEOUT = std::chrono::seconds(30);

// The flags of a file transfer, in the order they appear in the command.
struct FileTransferOptions {
    bool hold_timestamp = false;  // -a
    bool sync_mode = false;       // -sync
    bool compress = false;        // -z
    bool mode_sync = false;       // -m
    bool b_flag = false;          // -b
};

// How a collecting operation ends: an empty reply always ends it; a reply
// holding one of the markers ends it after being appended; silence for
// `per_reply` ends it with the output, or with Timeout when nothing was
// collected and `silence_is_timeout`.
struct CollectRules {
    Duration per_reply;
    std::span<const std::string_view> markers;
    bool silence_is_timeout;
};

// A TCP stream and what has been received on it but not yet read.
struct Connection {
    TcpStream stream;
    PacketReader reader;
};

class AsyncClient {
public:
    // Opens a connection within CONNECT_TIMEOUT and completes the handshake without a key.
    static Task<Result<AsyncClient>> connect(std::string address);
    // A client on a stream that was opened elsewhere (a socket pair, in tests
    // and fuzzing), in the Opened state as if open_connection had made it at `opened_at`.
    static AsyncClient adopt(std::string address, TcpStream stream, Instant opened_at);

    // Replaces the current connection by a new one to the client's address.
    Task<Result<void>> open_connection();
    Task<Result<void>> handshake(std::optional<std::string_view> connect_key = std::nullopt);

    // The command channel. Each checks that the client is Ready (connected
    // flag first, then the stream) and otherwise fails with NotConnected.
    Task<Result<void>> send_command(std::span<const std::uint8_t> command);
    Task<Result<void>> send_command(std::string_view command) {
        return send_command(std::span(reinterpret_cast<const std::uint8_t*>(command.data()), command.size()));
    }
    // One packet's payload, untouched; a deadline that strikes keeps the partial packet.
    Task<Result<Bytes>> recv_packet(std::optional<Instant> deadline = std::nullopt);
    // One reply: command code stripped, strict UTF-8.
    Task<Result<std::string>> read_response(std::optional<Instant> deadline = std::nullopt);

    // Device operations.
    Task<Result<std::vector<std::string>>> list_targets();
    Task<Result<void>> connect_device(std::string_view device_id);
    Task<Result<std::string>> wait_for_device();
    Task<Result<Output>> shell(std::string_view command);
    Task<Result<Output>> hilog(std::optional<std::string_view> args);
    Task<Result<std::string>> fport(ForwardNode local, ForwardNode remote);
    Task<Result<std::string>> rport(ForwardNode remote, ForwardNode local);
    Task<Result<std::string>> fport_remove(std::string_view task);
    Task<Result<Output>> file_send(std::string_view local_path, std::string_view remote_path,
                                   FileTransferOptions options);
    Task<Result<Output>> file_recv(std::string_view remote_path, std::string_view local_path,
                                   FileTransferOptions options);
    Task<Result<Output>> install(std::span<const std::string> packages, bool replace, bool shared);
    Task<Result<std::string>> uninstall(std::string_view package, bool keep_data, bool shared);

    // Where the text of a large output goes once it outgrows the receive
    // buffer (see TextMemory); by default the receive buffer grows.
    void set_text_memory(TextMemory memory) { text_memory_ = std::move(memory); }

    bool connected() const { return connected_; }
    bool has_stream() const { return connection_.has_value(); }
    const std::string& address() const { return address_; }
    const std::optional<std::string>& connect_key() const { return connect_key_; }
    std::uint32_t channel_id() const { return channel_id_; }

private:
    // recv_packet without the copy: the payload stays in the connection's
    // buffer, valid until the next read.
    Task<Result<std::span<const std::uint8_t>>> recv_view(std::optional<Instant> deadline);
    // send_command for an operation that gathers many replies: first the
    // reader makes room for the largest packet, so that running out of memory
    // later never leaves part of the output on the connection; when that room
    // cannot be had, nothing is sent and the operation fails with OutOfMemory.
    Task<Result<void>> send_collecting(std::string_view command);
    // Sends `command`, then gathers replies until one of `rules` ends the collection.
    Task<Result<Output>> collect(std::string command, const CollectRules& rules);

    explicit AsyncClient(std::string address) : address_(std::move(address)) {}

    std::optional<Connection> connection_;
    TextMemory text_memory_;
    std::string address_;
    std::optional<std::string> connect_key_;
    std::uint32_t channel_id_ = 0;
    bool connected_ = false;
    // When the current connection was opened; bounds the handshake wait.
    Instant opened_at_{};
};

}  // namespace kelpie
