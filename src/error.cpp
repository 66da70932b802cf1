#include "error.hpp"

#include <cstring>

namespace kelpie {

std::string IoError::describe() const {
    if (code_ == 0) return text_;
    char buf[256];
    // GNU strerror_r may return a static string instead of filling buf.
    const char* text = strerror_r(code_, buf, sizeof buf);
    return std::string(text) + " (os error " + std::to_string(code_) + ")";
}

ClientError ClientError::io(IoError e) {
    ClientError err(ErrorKind::Io);
    err.io_ = std::move(e);
    return err;
}

ClientError ClientError::with_text(ErrorKind kind, std::string text) {
    ClientError err(kind);
    err.text_ = std::move(text);
    return err;
}

ClientError ClientError::invalid_banner(std::span<const std::uint8_t> banner) {
    ClientError err(ErrorKind::InvalidBanner);
    err.bytes_.assign(banner.begin(), banner.end());
    return err;
}

ClientError ClientError::utf8(std::vector<std::uint8_t> bytes, std::size_t valid_up_to,
                              std::optional<std::uint8_t> error_len) {
    ClientError err(ErrorKind::Utf8);
    err.bytes_ = std::move(bytes);
    err.valid_up_to_ = valid_up_to;
    err.error_len_ = error_len;
    return err;
}

namespace {

std::string byte_list(const std::vector<std::uint8_t>& bytes) {
    std::string out = "[";
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i) out += ", ";
        out += std::to_string(bytes[i]);
    }
    return out + "]";
}

}  // namespace

std::string ClientError::message() const {
    switch (kind_) {
        case ErrorKind::Io: return "I/O error: " + (io_ ? io_->describe() : std::string());
        case ErrorKind::Protocol: return "Protocol error: " + text_;
        case ErrorKind::HandshakeFailed: return "Handshake failed: " + text_;
        case ErrorKind::NotConnected: return "Not connected to HDC server";
        case ErrorKind::InvalidBanner:
            return "Invalid banner: expected 'OHOS HDC', got " + byte_list(bytes_);
        case ErrorKind::Buffer: return "Buffer error: " + text_;
        case ErrorKind::CommandFailed: return "Command failed: " + text_;
        case ErrorKind::Timeout: return "Operation timed out";
        case ErrorKind::DeviceNotFound: return "Device not found: " + text_;
        case ErrorKind::OutOfMemory: return "Out of memory: " + text_;
        case ErrorKind::Utf8:
            if (error_len_)
                return "UTF-8 error: invalid utf-8 sequence of " + std::to_string(*error_len_) +
                       " bytes from index " + std::to_string(valid_up_to_);
            return "UTF-8 error: incomplete utf-8 byte sequence from index " +
                   std::to_string(valid_up_to_);
    }
    return {};
}

}  // namespace kelpie
