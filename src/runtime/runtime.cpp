#include "runtime/runtime.hpp"

namespace kelpie {

namespace {
// The runtime whose block_on runs on this thread, if any.
thread_local Runtime* current_runtime = nullptr;
}  // namespace

Result<std::unique_ptr<Runtime>> Runtime::create(std::unique_ptr<Clock> clock, std::unique_ptr<BlockingPool> pool) {
    auto reactor = Reactor::create(*clock);
    if (!reactor) return fail(std::move(reactor.error()));
    if (!pool) pool = std::make_unique<BlockingPool>();
    return std::unique_ptr<Runtime>(new Runtime(std::move(clock), std::move(*reactor), std::move(pool)));
}

Runtime::Runtime(std::unique_ptr<Clock> clock, std::unique_ptr<Reactor> reactor, std::unique_ptr<BlockingPool> pool)
    : clock_(std::move(clock)), reactor_(std::move(reactor)), pool_(std::move(pool)) {}

Runtime::~Runtime() {
    pool_->shutdown();
    pool_.reset();
    reactor_.reset();
}

Runtime& Runtime::current() {
    if (!current_runtime) throw InternalFault("no runtime is current on this thread");
    return *current_runtime;
}

Runtime::CurrentScope::CurrentScope(Runtime* rt) : previous_(current_runtime) { current_runtime = rt; }
Runtime::CurrentScope::~CurrentScope() { current_runtime = previous_; }

}  // namespace kelpie
