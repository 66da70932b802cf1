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

Result<std::string> BlockingClient::fport(std::string_view local, std::string_view remote) {
    auto l = ForwardNode::parse(local);
    if (!l) return fail(std::move(l.error()));
    auto r = ForwardNode::parse(remote);
    if (!r) return fail(std::move(r.error()));
    return run(client_->fport(std::move(*l), std::move(*r)));
}

Result<std::string> BlockingClient::rport(std::string_view remote, std::string_view local) {
    auto r = ForwardNode::parse(remote);
    if (!r) return fail(std::move(r.error()));
    auto l = ForwardNode::parse(local);
    if (!l) return fail(std::move(l.error()));
    return run(client_->rport(std::move(*r), std::move(*l)));
}

BlockingClient::~BlockingClient() {
    runtime_.reset();
    client_.reset();
}

}  // namespace kelpie
