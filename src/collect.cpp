// Operations whose output spans many replies: the shared collection loop.
#include <string>

#include "client.hpp"
#include "protocol/reply.hpp"
#include "protocol/text_collector.hpp"
#include "runtime/runtime.hpp"

namespace kelpie {

Task<Result<Output>> AsyncClient::collect(std::string command, const CollectRules& rules) {
    if (auto sent = co_await send_collecting(command); !sent) co_return fail(std::move(sent.error()));
    Runtime& rt = Runtime::current();
    TextCollector output(connection_->reader, text_memory_);
    for (;;) {
        auto payload = co_await recv_view(rt.now() + rules.per_reply);
        if (!payload) {
            if (payload.error().kind() != ErrorKind::Timeout) co_return output.fail(std::move(payload.error()));
            if (!output.pending() && output.empty() && rules.silence_is_timeout)
                co_return output.fail(ClientError::timeout());
            co_return output.finish();
        }
        const auto reply = reply_text_bytes(*payload);
        if (reply.empty()) co_return output.finish();
        output.append(reply);
        // Markers are looked for in this reply alone, never across replies.
        const std::string_view this_reply = output.last_added();
        for (std::string_view marker : rules.markers)
            if (this_reply.find(marker) != std::string_view::npos) co_return output.finish();
    }
}

}  // namespace kelpie
