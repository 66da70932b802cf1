// Binding the connection to a device, and waiting for one to appear.
#include <string>

#include "client.hpp"
#include "protocol/utf8.hpp"

namespace kelpie {

Task<Result<void>> AsyncClient::connect_device(std::string_view device_id) {
    // The old connection is never reused: whatever happens next, it is gone.
    connection_.reset();
    connected_ = false;
    const std::string key(device_id);
    if (auto opened = co_await open_connection(); !opened) co_return fail(std::move(opened.error()));
    if (auto shaken = co_await handshake(key); !shaken) co_return fail(std::move(shaken.error()));
    co_return Result<void>{};
}

Task<Result<std::string>> AsyncClient::wait_for_device() {
    if (auto sent = co_await send_command("wait"); !sent) co_return fail(std::move(sent.error()));
    auto reply = co_await read_response();
    if (!reply) co_return fail(std::move(reply.error()));
    std::string_view text = *reply;
    static constexpr std::string_view kSeparator = "is ";
    if (const auto first = text.find(kSeparator); first != std::string_view::npos) {
        text.remove_prefix(first + kSeparator.size());
        text = text.substr(0, text.find(kSeparator));
    }
    co_return std::string(trim_white_space(text));
}

}  // namespace kelpie
