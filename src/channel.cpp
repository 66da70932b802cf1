// The command channel: one command per packet, replies read in order.
#include <string>

#include "client.hpp"
#include "protocol/reply.hpp"
#include "protocol/utf8.hpp"

namespace kelpie {

namespace {

template <class T>
Task<Result<T>> not_connected() {
    co_return fail(ClientError::not_connected());
}

Task<Result<void>> no_room_for_a_packet() {
    co_return fail(ClientError::out_of_memory("no room for a packet of " + std::to_string(4 + MAX_PACKET_SIZE) +
                                              " bytes"));
}

}  // namespace

// Not coroutines themselves: the packet operation's own frame is the only
// one a command or a reply costs.
Task<Result<void>> AsyncClient::send_command(std::span<const std::uint8_t> command) {
    if (!connected_ || !connection_) return not_connected<void>();
    connection_->reader.expect_reply();
    return write_packet(connection_->stream, command);
}

Task<Result<void>> AsyncClient::send_collecting(std::string_view command) {
    if (connected_ && connection_ && !connection_->reader.reserve_packet()) return no_room_for_a_packet();
    return send_command(command);
}

Task<Result<std::span<const std::uint8_t>>> AsyncClient::recv_view(std::optional<Instant> deadline) {
    if (!connected_ || !connection_) return not_connected<std::span<const std::uint8_t>>();
    return connection_->reader.next(connection_->stream, deadline);
}

Task<Result<Bytes>> AsyncClient::recv_packet(std::optional<Instant> deadline) {
    auto payload = co_await recv_view(deadline);
    if (!payload) co_return fail(std::move(payload.error()));
    co_return Bytes(payload->begin(), payload->end());
}

Task<Result<std::string>> AsyncClient::read_response(std::optional<Instant> deadline) {
    auto payload = co_await recv_view(deadline);
    if (!payload) co_return fail(std::move(payload.error()));
    co_return decode_strict(reply_text_bytes(*payload));
}

Task<Result<std::vector<std::string>>> AsyncClient::list_targets() {
    if (auto sent = co_await send_command("list targets"); !sent) co_return fail(std::move(sent.error()));
    auto reply = co_await read_response();
    if (!reply) co_return fail(std::move(reply.error()));
    std::vector<std::string> targets;
    std::string_view rest = *reply;
    for (;;) {
        const auto nl = rest.find('\n');
        const std::string_view line = trim_white_space(rest.substr(0, nl));
        if (!line.empty()) targets.emplace_back(line);
        if (nl == std::string_view::npos) break;
        rest.remove_prefix(nl + 1);
    }
    co_return targets;
}

}  // namespace kelpie
