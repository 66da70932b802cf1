#include "protocol/text_collector.hpp"

#include <algorithm>
#include <array>
#include <string>

#include "protocol/utf8.hpp"

namespace kelpie {

std::span<const std::uint8_t> TextCollector::join(std::span<const std::uint8_t> bytes, Bytes& spare) {
    const std::size_t before = reader_.text().size();
    reader_.keep(bytes);
    const auto text = reader_.text();
    if (text.size() == before + bytes.size()) return text.subspan(before - pending_);
    const auto tail = text.last(pending_);  // trimming keeps at least the pending bytes
    spare.assign(tail.begin(), tail.end());
    spare.insert(spare.end(), bytes.begin(), bytes.end());
    return spare;
}

namespace {
constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD
}  // namespace

void TextCollector::settle_lenient(std::span<const std::uint8_t> next) {
    if (!lenient_pending_) return;
    // The pending bytes and as many of `next` as could complete the character.
    std::array<std::uint8_t, 4> probe{};
    const auto pending = reader_.text().last(pending_);
    std::copy(pending.begin(), pending.end(), probe.begin());
    const std::size_t more = std::min(next.size(), probe.size() - pending_);
    std::copy_n(next.begin(), more, probe.begin() + static_cast<std::ptrdiff_t>(pending_));
    const auto failure = find_utf8_failure(std::span(probe).first(pending_ + more));
    if (failure && failure->valid_up_to == 0 && (failure->error_len || next.empty())) {
        // Not gone on with: the replacement takes the pending bytes' place
        // (the payload of `next` lies further on in the buffer).
        reader_.cut_text(reader_.text().size() - pending_);
        const auto replacement = std::span(reinterpret_cast<const std::uint8_t*>(kReplacement.data()), 3);
        reader_.keep_copy(replacement);
        pending_ = 0;
        size_ += replacement.size();
        last_ = replacement.back();
        add_shape(TextShape{1, 0xFFFF});
    }
    lenient_pending_ = pending_ != 0;
}

std::size_t TextCollector::append(std::span<const std::uint8_t> reply) {
    settle_lenient(reply);
    const bool was_lenient = lenient_pending_;
    // The pending bytes and this reply are contiguous now: one check covers
    // the joined character and the rest.
    Bytes spare;
    const auto region = join(reply, spare);
    TextShape shape;
    const auto failure = check_and_measure_utf8(region, shape);
    const bool invalid = failure && failure->error_len;
    // Invalid text ends the output only where it would have ended anyway,
    // so the rest of it is not left to become the next operation's replies.
    const std::size_t complete = invalid ? region.size() : failure ? failure->valid_up_to : region.size();
    if (complete) last_ = region[complete - 1];
    pending_ = region.size() - complete;
    // Still the same character, begun leniently, when nothing completed.
    lenient_pending_ = was_lenient && complete == 0 && pending_ != 0;
    size_ += complete;
    last_added_ = complete;
    if (invalid)
        give_up(ClientError::utf8(Bytes(region.begin(), region.end()), failure->valid_up_to, failure->error_len),
                region.size());
    add_shape(shape);  // last: the text may move
    return complete;
}

void TextCollector::add_shape(const TextShape& shape) {
    const bool was_ascii = shape_.ascii();
    shape_.add(shape);
    if (was_ascii && !shape_.ascii()) reader_.text_not_ascii();
}

void TextCollector::append_lossy(std::span<const std::uint8_t> bytes) {
    Bytes spare;
    const auto region = join(bytes, spare);
    // A character begun at the end may be completed by the next reply.
    const std::size_t tail = incomplete_tail(region);
    const auto body = region.first(region.size() - tail);
    TextShape shape;
    std::size_t added = body.size();
    if (check_and_measure_utf8(body, shape)) {
        std::string fixed;
        kelpie::append_lossy(fixed, body);
        const std::span fixed_bytes(reinterpret_cast<const std::uint8_t*>(fixed.data()), fixed.size());
        check_and_measure_utf8(fixed_bytes, shape);
        added = fixed.size();
        if (added) last_ = static_cast<std::uint8_t>(fixed.back());
        fixed.append(reinterpret_cast<const char*>(region.data() + body.size()), tail);
        if (spare.empty()) {
            reader_.cut_text(reader_.text().size() - region.size());
            reader_.keep_copy(std::span(reinterpret_cast<const std::uint8_t*>(fixed.data()), fixed.size()));
        }
    } else if (added) {
        last_ = body.back();
    }
    pending_ = tail;
    lenient_pending_ = tail != 0;
    size_ += added;
    last_added_ = added;
    add_shape(shape);
}

std::string_view TextCollector::last_added() const {
    const auto text = reader_.text();
    const auto complete = text.first(text.size() - pending_);
    // Once the text is lost, what was added may no longer all be there.
    const auto added = complete.last(std::min(last_added_, complete.size()));
    return {reinterpret_cast<const char*>(added.data()), added.size()};
}

Result<Output> TextCollector::finish() {
    settle_lenient({});
    if (reader_.text_lost()) return fail(lost_error());
    if (pending_) {
        const auto tail = reader_.text().last(pending_);
        return fail(ClientError::utf8(Bytes(tail.begin(), tail.end()), 0, std::nullopt));
    }
    done_ = true;
    return reader_.take_text(shape_);
}

std::unexpected<ClientError> TextCollector::fail(ClientError error) {
    if (failure_) error = std::move(*failure_);
    else if (reader_.text_lost()) error = lost_error();
    if (!done_) reader_.drop_text();
    done_ = true;
    return std::unexpected(std::move(error));
}

void TextCollector::give_up(ClientError error, std::size_t last) {
    if (!reader_.text_lost()) failure_ = std::move(error);
    reader_.give_up_text(last);
}

ClientError TextCollector::lost_error() const {
    return ClientError::out_of_memory("the output grew past what memory could hold (" + std::to_string(size_) +
                                      " bytes received)");
}

}  // namespace kelpie
