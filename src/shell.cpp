// Shell commands and the device log: output collected over many replies.
#include <string>

#include "client.hpp"
#include "protocol/reply.hpp"
#include "runtime/runtime.hpp"

namespace kelpie {

namespace {

bool ends_line(const std::string& output) { return output.back() == '\n' || output.back() == '\0'; }

// The output as collected, unless a character was left cut in half.
Result<std::string> finished(const ReplyJoiner& joiner, std::string& output) {
    if (auto done = joiner.finish(); !done) return fail(std::move(done.error()));
    return std::move(output);
}

}  // namespace

Task<Result<std::string>> AsyncClient::shell(std::string_view command) {
    std::string text = "shell ";
    text.append(command);
    if (auto sent = co_await send_command(text); !sent) co_return fail(std::move(sent.error()));
    Runtime& rt = Runtime::current();
    std::string output;
    ReplyJoiner joiner;
    for (;;) {
        auto payload = co_await recv_view(rt.now() + SHELL_REPLY_TIMEOUT);
        if (!payload) {
            if (payload.error().kind() == ErrorKind::Timeout) co_return finished(joiner, output);
            co_return fail(std::move(payload.error()));
        }
        const auto reply = reply_text_bytes(*payload);
        if (reply.empty()) co_return finished(joiner, output);
        auto added = joiner.append(output, reply);
        if (!added) co_return fail(std::move(added.error()));
        if (*added == 0 || !ends_line(output)) continue;

        // A reply that ends a line is often the last: look briefly for a straggler
        // instead of waiting out the full silence.
        auto trailing = co_await recv_view(rt.now() + SHELL_TRAILING_LOOK);
        if (!trailing) co_return finished(joiner, output);
        const std::span<const std::uint8_t> bytes = *trailing;
        joiner.append_lossy(output, bytes.size() == 1 ? bytes : bytes.subspan(2));
    }
}

Task<Result<std::string>> AsyncClient::hilog(std::optional<std::string_view> args) {
    std::string text = "hilog";
    if (args) {
        text += ' ';
        text.append(*args);
    }
    static constexpr CollectRules kRules{HILOG_REPLY_TIMEOUT, {}, true};
    co_return co_await collect(std::move(text), kRules);
}

}  // namespace kelpie
