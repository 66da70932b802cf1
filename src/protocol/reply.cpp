#include "protocol/reply.hpp"

#include <algorithm>
#include <vector>

#include "protocol/output_room.hpp"
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

Result<std::size_t> ReplyJoiner::append(std::string& out, std::span<const std::uint8_t> text) {
    // Errors are reported over the carried bytes followed by this reply's bytes.
    const std::size_t carried = carry_len_;
    const auto utf8_error = [&](std::size_t valid_up_to, std::optional<std::uint8_t> error_len) {
        Bytes all(carry_, carry_ + carried);
        all.insert(all.end(), text.begin(), text.end());
        return fail(ClientError::utf8(std::move(all), valid_up_to, error_len));
    };
    std::size_t added = 0;
    std::size_t offset = 0;  // of the unconsumed rest of `text` within the reply
    if (carry_len_ != 0) {
        // Complete the carried character from the head of this reply, then go on as usual.
        std::uint8_t joined[4];
        std::copy_n(carry_, carry_len_, joined);
        const std::size_t take = std::min<std::size_t>(4 - carry_len_, text.size());
        std::copy_n(text.begin(), take, joined + carry_len_);
        const std::span<const std::uint8_t> head(joined, carry_len_ + take);
        const auto f = find_utf8_failure(head);
        std::size_t complete = head.size();
        if (f) {
            if (f->valid_up_to == 0 && !f->error_len) {
                // Still incomplete: the whole reply was part of the character.
                std::copy_n(head.begin(), head.size(), carry_);
                carry_len_ = head.size();
                return 0;
            }
            if (f->valid_up_to == 0) return utf8_error(0, f->error_len);
            complete = f->valid_up_to;  // the carried character ended inside `head`
        }
        const std::size_t used = complete - carry_len_;
        out.append(reinterpret_cast<const char*>(joined), complete);
        added += complete;
        carry_len_ = 0;
        offset = used;
    }
    const auto rest = text.subspan(offset);
    const auto f = find_utf8_failure(rest);
    if (f && f->error_len) {
        out.resize(out.size() - added);  // nothing of a failed reply is kept
        return utf8_error(carried + offset + f->valid_up_to, f->error_len);
    }
    const std::size_t good = f ? f->valid_up_to : rest.size();
    make_output_room(out, good);
    out.append(reinterpret_cast<const char*>(rest.data()), good);
    added += good;
    if (f) {
        carry_len_ = rest.size() - good;
        std::copy_n(rest.begin() + static_cast<std::ptrdiff_t>(good), carry_len_, carry_);
    }
    return added;
}

std::size_t ReplyJoiner::append_lossy(std::string& out, std::span<const std::uint8_t> text) {
    const std::size_t before = out.size();
    if (carry_len_ != 0) {
        std::vector<std::uint8_t> joined(carry_, carry_ + carry_len_);
        joined.insert(joined.end(), text.begin(), text.end());
        carry_len_ = 0;
        kelpie::append_lossy(out, joined);
    } else {
        kelpie::append_lossy(out, text);
    }
    return out.size() - before;
}

Result<void> ReplyJoiner::finish() const {
    if (carry_len_ == 0) return {};
    return fail(ClientError::utf8(Bytes(carry_, carry_ + carry_len_), 0, std::nullopt));
}

}  // namespace kelpie
