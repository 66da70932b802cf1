// The synchronous face of the client: a private runtime and one AsyncClient;
// each operation runs to completion on the calling thread.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

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

    AsyncClient& async_client() { return *client_; }
    Runtime& runtime() { return *runtime_; }

private:
    BlockingClient(std::unique_ptr<Runtime> runtime, AsyncClient client)
        : runtime_(std::move(runtime)), client_(std::move(client)) {}

    std::unique_ptr<Runtime> runtime_;
    std::optional<AsyncClient> client_;
};

}  // namespace kelpie
