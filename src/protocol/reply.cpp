#include "protocol/reply.hpp"

#include "protocol/utf8.hpp"

namespace kelpie {

bool is_command_code(std::uint16_t code) {
    switch (code) {
        case 0: case 1: case 2: case 4: case 5: case 6: case 7: case 8: case 9: case 10:
        case 13: case 14: case 1001: case 1002: case 1003: case 2000: case 2001:
        case 3000: case 3003: case 3004:
            return true;
        default:
            return false;
    }
}

std::span<const std::uint8_t> reply_text_bytes(std::span<const std::uint8_t> payload) {
    if (payload.size() >= 2 && is_command_code(static_cast<std::uint16_t>(payload[0] | (payload[1] << 8))))
        return payload.subspan(2);
    return payload;
}

Result<std::string> decode_strict(std::span<const std::uint8_t> text) {
    if (auto f = find_utf8_failure(text))
        return fail(ClientError::utf8(Bytes(text.begin(), text.end()), f->valid_up_to, f->error_len));
    return std::string(reinterpret_cast<const char*>(text.data()), text.size());
}

}  // namespace kelpie
