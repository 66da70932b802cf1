// Shell commands and the device log: output collected over many replies.
#include <string>

#include "client.hpp"
#include "protocol/reply.hpp"
#include "protocol/text_collector.hpp"
#include "runtime/runtime.hpp"

namespace kelpie {

Task<Result<Output>> AsyncClient::shell(std::string_view command) {
    std::string text = "shell ";
    text.append(command);
    if (auto sent = co_await send_collecting(text); !sent) co_return fail(std::move(sent.error()));
    Runtime& rt = Runtime::current();
    TextCollector output(connection_->reader, text_memory_);
    for (;;) {
        auto payload = co_await recv_view(rt.now() + SHELL_REPLY_TIMEOUT);
        if (!payload) {
            if (payload.error().kind() == ErrorKind::Timeout) co_return output.finish();
            co_return output.fail(std::move(payload.error()));
        }
        const auto reply = reply_text_bytes(*payload);
        if (reply.empty()) co_return output.finish();
        if (output.append(reply) == 0 || !output.ends_line()) continue;

        // A reply that ends a line is often the last: look briefly for a straggler
        // instead of waiting out the full silence.
        auto trailing = co_await recv_view(rt.now() + SHELL_TRAILING_LOOK);
        if (!trailing) co_return output.finish();
        const std::span<const std::uint8_t> bytes = *trailing;
        output.append_lossy(bytes.size() == 1 ? bytes : bytes.subspan(2));
    }
}

Task<Result<Output>> AsyncClient::hilog(std::optional<std::string_view> args) {
    std::string text = "hilog";
    if (args) {
        text += ' ';
        text.append(*args);
    }
    static constexpr CollectRules kRules{HILOG_REPLY_TIMEOUT, {}, true};
    co_return co_await collect(std::move(text), kRules);
}

}  // namespace kelpie
