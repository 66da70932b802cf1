// Operations whose output spans many replies: the shared collection loop.
#include <string>

#include "client.hpp"
#include "protocol/reply.hpp"
#include "runtime/runtime.hpp"

namespace kelpie {

Task<Result<std::string>> AsyncClient::collect(std::string command, const CollectRules& rules) {
    if (auto sent = co_await send_command(command); !sent) co_return fail(std::move(sent.error()));
    Runtime& rt = Runtime::current();
    std::string output;
    ReplyJoiner joiner;
    for (;;) {
        auto payload = co_await recv_view(rt.now() + rules.per_reply);
        if (!payload) {
            if (payload.error().kind() != ErrorKind::Timeout) co_return fail(std::move(payload.error()));
            if (auto done = joiner.finish(); !done) co_return fail(std::move(done.error()));
            if (output.empty() && rules.silence_is_timeout) co_return fail(ClientError::timeout());
            co_return std::move(output);
        }
        const auto reply = reply_text_bytes(*payload);
        if (reply.empty()) {
            if (auto done = joiner.finish(); !done) co_return fail(std::move(done.error()));
            co_return std::move(output);
        }
        auto added = joiner.append(output, reply);
        if (!added) co_return fail(std::move(added.error()));
        // Markers are looked for in this reply alone, never across replies.
        const std::string_view this_reply = std::string_view(output).substr(output.size() - *added);
        for (std::string_view marker : rules.markers) {
            if (this_reply.find(marker) == std::string_view::npos) continue;
            if (auto done = joiner.finish(); !done) co_return fail(std::move(done.error()));
            co_return std::move(output);
        }
    }
}

}  // namespace kelpie
