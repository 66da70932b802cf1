#include "blocking.hpp"

namespace kelpie {

Result<BlockingClient> BlockingClient::connect(std::string_view addr) {
    auto runtime = Runtime::create();
    if (!runtime) return fail(std::move(runtime.error()));
    return connect(addr, std::move(*runtime));
}

Result<BlockingClient> BlockingClient::connect(std::string_view addr, std::unique_ptr<Runtime> runtime) {
    auto client = runtime->block_on(AsyncClient::connect(std::string(addr)));
    if (!client) {
        runtime.reset();  // joins any resolver still running before the error is reported
        return fail(std::move(client.error()));
    }
    return BlockingClient(std::move(runtime), std::move(*client));
}

BlockingClient::~BlockingClient() {
    runtime_.reset();
    client_.reset();
}

}  // namespace kelpie
