// The synchronous face of the client: a private runtime and one AsyncClient;
// each operation runs to completion on the calling thread.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "client.hpp"
#include "error.hpp"
#include "runtime/runtime.hpp"

namespace kelpie {

class BlockingClient {
public:
    static Result<BlockingClient> connect(std::string_view addr);
    // The same on a runtime built by the caller (tests pass one on a virtual clock).
    static Result<BlockingClient> connect(std::string_view addr, std::unique_ptr<Runtime> runtime);

    BlockingClient(BlockingClient&&) noexcept = default;
    BlockingClient& operator=(BlockingClient&&) noexcept = delete;
    BlockingClient(const BlockingClient&) = delete;
    // The runtime goes first (its pool threads joined), then the connection.
    ~BlockingClient();

    Result<std::vector<std::string>> list_targets() { return run(client_->list_targets()); }
    Result<void> connect_device(std::string_view device_id) { return run(client_->connect_device(device_id)); }
    Result<std::string> wait_for_device() { return run(client_->wait_for_device()); }
    Result<Output> shell(std::string_view command) { return run(client_->shell(command)); }
    Result<Output> hilog(std::optional<std::string_view> args) { return run(client_->hilog(args)); }
    // Both node texts are parsed, first argument first, before anything is sent.
    Result<std::string> fport(std::string_view local, std::string_view remote);
    Result<std::string> rport(std::string_view remote, std::string_view local);
    Result<std::string> fport_remove(std::string_view task_str) { return run(client_->fport_remove(task_str)); }
    Result<Output> file_send(std::string_view local_path, std::string_view remote_path,
                                  FileTransferOptions options) {
        return run(client_->file_send(local_path, remote_path, options));
    }
    Result<Output> file_recv(std::string_view remote_path, std::string_view local_path,
                                  FileTransferOptions options) {
        return run(client_->file_recv(remote_path, local_path, options));
    }
    Result<Output> install(std::span<const std::string> packages, bool replace, bool shared) {
        return run(client_->install(packages, replace, shared));
    }
    Result<std::string> uninstall(std::string_view package, bool keep_data, bool shared) {
        return run(client_->uninstall(package, keep_data, shared));
    }

    AsyncClient& async_client() { return *client_; }
    Runtime& runtime() { return *runtime_; }

private:
    BlockingClient(std::unique_ptr<Runtime> runtime, AsyncClient client)
        : runtime_(std::move(runtime)), client_(std::move(client)) {}

    template <class T>
    T run(Task<T> task) { return runtime_->block_on(std::move(task)); }

    std::unique_ptr<Runtime> runtime_;
    std::optional<AsyncClient> client_;
};

}  // namespace kelpie
