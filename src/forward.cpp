// Port mappings: forward, reverse, and removal over a connection of its own.
#include <string>

#include "client.hpp"

namespace kelpie {

namespace {

std::string mapping_command(std::string_view word, const ForwardNode& first, const ForwardNode& second) {
    std::string text(word);
    text += first.to_string();
    text += ' ';
    text += second.to_string();
    return text;
}

}  // namespace

Task<Result<std::string>> AsyncClient::fport(ForwardNode local, ForwardNode remote) {
    const std::string command = mapping_command("fport ", local, remote);
    if (auto sent = co_await send_command(command); !sent) co_return fail(std::move(sent.error()));
    co_return co_await read_response();
}

Task<Result<std::string>> AsyncClient::rport(ForwardNode remote, ForwardNode local) {
    const std::string command = mapping_command("rport ", remote, local);
    if (auto sent = co_await send_command(command); !sent) co_return fail(std::move(sent.error()));
    co_return co_await read_response();
}

Task<Result<std::string>> AsyncClient::fport_remove(std::string_view task) {
    const std::string command = "fport rm " + std::string(task);
    // A fresh connection of its own, so it works whatever state ours is in;
    // it closes when `temporary` goes out of scope, on every path.
    auto temporary = co_await AsyncClient::connect(address_);
    if (!temporary) co_return fail(std::move(temporary.error()));
    if (auto sent = co_await temporary->send_command(command); !sent) co_return fail(std::move(sent.error()));
    auto reply = co_await temporary->read_response();
    if (reply && reply->starts_with("[Fail]")) co_return fail(ClientError::protocol(std::move(*reply)));
    co_return reply;
}

}  // namespace kelpie
