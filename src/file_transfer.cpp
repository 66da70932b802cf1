// File transfer: the server moves the file; the client sends paths and
// collects the progress replies.
#include <string>

#include "client.hpp"

namespace kelpie {

namespace {

constexpr std::string_view kFileMarkers[] = {"FileTransfer finish", "Transfer finish", "[Fail]", "fail"};
constexpr CollectRules kFileRules{FILE_REPLY_TIMEOUT, kFileMarkers, true};

bool valid_path(std::string_view path) { return !path.empty() && path.find('\0') == std::string_view::npos; }

std::string flag_text(const FileTransferOptions& o) {
    std::string flags;
    const auto add = [&](bool on, std::string_view flag) {
        if (!on) return;
        if (!flags.empty()) flags += ' ';
        flags += flag;
    };
    add(o.hold_timestamp, "-a");
    add(o.sync_mode, "-sync");
    add(o.compress, "-z");
    add(o.mode_sync, "-m");
    add(o.b_flag, "-b");
    return flags;
}

Result<std::string> transfer_command(std::string_view word, std::string_view first, std::string_view second,
                                     const FileTransferOptions& options) {
    if (!valid_path(first) || !valid_path(second)) return fail(ClientError::protocol("Invalid file path"));
    std::string text(word);
    if (const std::string flags = flag_text(options); !flags.empty()) {
        text += flags;
        text += ' ';
    }
    text.append(first);
    text += ' ';
    text.append(second);
    return text;
}

}  // namespace

Task<Result<Output>> AsyncClient::file_send(std::string_view local_path, std::string_view remote_path,
                                            FileTransferOptions options) {
    auto command = transfer_command("file send ", local_path, remote_path, options);
    if (!command) co_return fail(std::move(command.error()));
    co_return co_await collect(std::move(*command), kFileRules);
}

Task<Result<Output>> AsyncClient::file_recv(std::string_view remote_path, std::string_view local_path,
                                            FileTransferOptions options) {
    auto command = transfer_command("file recv ", remote_path, local_path, options);
    if (!command) co_return fail(std::move(command.error()));
    co_return co_await collect(std::move(*command), kFileRules);
}

}  // namespace kelpie
