// What both benchmark programs share about the wire: frames, command codes,
// the handshake record, and the checksum the driver compares.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace bench {

inline constexpr std::size_t kMaxPacket = 523264;
inline constexpr std::size_t kHandshakeSize = 44;
inline constexpr std::string_view kBanner = "OHOS HDC";
// Every reply of the benchmark server starts with this code (bytes 05 00).
inline constexpr std::uint16_t kReplyCode = 5;
inline constexpr std::string_view kDevice = "bench-device";

inline std::uint32_t load_be32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}

inline void store_be32(std::uint8_t* p, std::uint32_t v) {
    p[0] = std::uint8_t(v >> 24);
    p[1] = std::uint8_t(v >> 16);
    p[2] = std::uint8_t(v >> 8);
    p[3] = std::uint8_t(v);
}

inline bool is_command_code(std::uint16_t code) {
    switch (code) {
        case 0: case 1: case 2: case 4: case 5: case 6: case 7: case 8: case 9: case 10:
        case 13: case 14: case 1001: case 1002: case 1003: case 2000: case 2001:
        case 3000: case 3003: case 3004:
            return true;
        default:
            return false;
    }
}

// The frame for `payload`, header included.
inline std::string frame(std::string_view payload) {
    std::string out(4, '\0');
    store_be32(reinterpret_cast<std::uint8_t*>(out.data()), std::uint32_t(payload.size()));
    out.append(payload);
    return out;
}

// A reply frame: the benchmark's command code, then the text.
inline std::string reply_frame(std::string_view text) {
    std::string payload{char(kReplyCode & 0xff), char(kReplyCode >> 8)};
    payload.append(text);
    return frame(payload);
}

// CRC-32 as zlib computes it, so Python checks results with zlib.crc32.
class Crc32 {
public:
    Crc32() {
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            table_[i] = c;
        }
    }
    std::uint32_t operator()(const void* data, std::size_t n, std::uint32_t crc = 0) const {
        const auto* p = static_cast<const std::uint8_t*>(data);
        crc = ~crc;
        for (std::size_t i = 0; i < n; ++i) crc = table_[(crc ^ p[i]) & 0xff] ^ (crc >> 8);
        return ~crc;
    }

private:
    std::array<std::uint32_t, 256> table_{};
};

}  // namespace bench
