// The one error type of the client. Every fallible operation returns
// Result<T>; the rendered message is what finally reaches the Python caller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kelpie {

enum class ErrorKind : std::uint8_t {
    Io,
    Protocol,
    HandshakeFailed,
    NotConnected,
    InvalidBanner,
    Buffer,
    CommandFailed,
    Timeout,
    DeviceNotFound,
    Utf8,
    // Not a failure of the exchange: the client could not hold what it received.
    OutOfMemory,
};

// An I/O failure: either an operating-system error number or a fixed text
// ("early eof", "invalid port value", ...).
class IoError {
public:
    static IoError os(int code) { return IoError(code, {}); }
    static IoError custom(std::string text) { return IoError(0, std::move(text)); }

    bool is_os() const { return code_ != 0; }
    int os_code() const { return code_; }
    // "{strerror} (os error {n})" for an OS error, the fixed text otherwise.
    std::string describe() const;

private:
    IoError(int code, std::string text) : code_(code), text_(std::move(text)) {}
    int code_;
    std::string text_;
};

class ClientError {
public:
    static ClientError io(IoError e);
    static ClientError os(int code) { return io(IoError::os(code)); }
    static ClientError io_text(std::string text) { return io(IoError::custom(std::move(text))); }
    static ClientError protocol(std::string text) { return with_text(ErrorKind::Protocol, std::move(text)); }
    static ClientError handshake_failed(std::string text) { return with_text(ErrorKind::HandshakeFailed, std::move(text)); }
    static ClientError not_connected() { return with_text(ErrorKind::NotConnected, {}); }
    static ClientError invalid_banner(std::span<const std::uint8_t> banner);
    static ClientError buffer(std::string text) { return with_text(ErrorKind::Buffer, std::move(text)); }
    static ClientError command_failed(std::string text) { return with_text(ErrorKind::CommandFailed, std::move(text)); }
    static ClientError timeout() { return with_text(ErrorKind::Timeout, {}); }
    static ClientError device_not_found(std::string text) { return with_text(ErrorKind::DeviceNotFound, std::move(text)); }
    static ClientError out_of_memory(std::string text) { return with_text(ErrorKind::OutOfMemory, std::move(text)); }
    // bytes: what failed to decode; valid_up_to: length of the valid prefix;
    // error_len: length of the invalid sequence, none when the input ended inside one.
    static ClientError utf8(std::vector<std::uint8_t> bytes, std::size_t valid_up_to,
                            std::optional<std::uint8_t> error_len);

    ErrorKind kind() const { return kind_; }
    // The detail text of Protocol, HandshakeFailed, Buffer, CommandFailed, DeviceNotFound, OutOfMemory.
    const std::string& text() const { return text_; }
    const std::optional<IoError>& io_error() const { return io_; }
    // InvalidBanner's banner, or the undecodable bytes of Utf8.
    const std::vector<std::uint8_t>& bytes() const { return bytes_; }
    std::size_t utf8_valid_up_to() const { return valid_up_to_; }
    std::optional<std::uint8_t> utf8_error_len() const { return error_len_; }

    // The full message, e.g. "Protocol error: Received zero-length packet".
    std::string message() const;

    bool operator==(const ClientError&) const = default;

private:
    static ClientError with_text(ErrorKind kind, std::string text);
    explicit ClientError(ErrorKind kind) : kind_(kind) {}

    ErrorKind kind_;
    std::string text_;
    std::optional<IoError> io_;
    std::vector<std::uint8_t> bytes_;
    std::size_t valid_up_to_ = 0;
    std::optional<std::uint8_t> error_len_;
};

inline bool operator==(const IoError& a, const IoError& b) {
    return a.os_code() == b.os_code() && a.describe() == b.describe();
}

template <class T>
using Result = std::expected<T, ClientError>;

inline std::unexpected<ClientError> fail(ClientError e) { return std::unexpected(std::move(e)); }

}  // namespace kelpie
