// One client's private runtime: reactor, timers on a clock, and a blocking
// pool. It has no thread of its own: block_on drives it on the caller's thread.
#pragma once

#include <memory>
#include <optional>
#include <utility>

#include "error.hpp"
#include "fault.hpp"
#include "runtime/blocking_pool.hpp"
#include "runtime/clock.hpp"
#include "runtime/reactor.hpp"
#include "runtime/task.hpp"

namespace kelpie {

class Runtime {
public:
    // Fails with the system error when the reactor cannot be set up.
    static Result<std::unique_ptr<Runtime>> create(std::unique_ptr<Clock> clock = std::make_unique<MonotonicClock>(),
                                                   std::unique_ptr<BlockingPool> pool = nullptr);
    Runtime(const Runtime&) = delete;
    Runtime& operator=(const Runtime&) = delete;
    // Shuts the pool down first (joining its threads), then the reactor.
    ~Runtime();

    Reactor& reactor() { return *reactor_; }
    BlockingPool& pool() { return *pool_; }
    Clock& clock() { return *clock_; }
    Instant now() const { return clock_->now(); }

    // The runtime whose block_on is running on this thread; operations find
    // their reactor through it. A fault when called outside block_on.
    static Runtime& current();

    // Runs the task to completion on this thread, with this runtime current
    // for the duration; the thread's previous current runtime is restored on every path.
    template <class T>
    T block_on(Task<T> task) {
        CurrentScope scope(this);
        task.start();
        while (!task.done()) reactor_->turn();
        return task.take_result();
    }

private:
    Runtime(std::unique_ptr<Clock> clock, std::unique_ptr<Reactor> reactor, std::unique_ptr<BlockingPool> pool);

    class CurrentScope {
    public:
        explicit CurrentScope(Runtime* rt);
        ~CurrentScope();
        CurrentScope(const CurrentScope&) = delete;
        CurrentScope& operator=(const CurrentScope&) = delete;

    private:
        Runtime* previous_;
    };

    std::unique_ptr<Clock> clock_;
    std::unique_ptr<Reactor> reactor_;
    std::unique_ptr<BlockingPool> pool_;
};

// Runs `work` on the current runtime's blocking pool and suspends until it
// returns or the deadline passes. Then the result is none and the work is
// left to finish on its own: shutdown of the runtime waits for it if it has
// started, and drops it if no thread has picked it up yet. Fails only when
// the system refuses the descriptor that carries results back.
template <class F>
auto run_blocking(F work, std::optional<Instant> deadline) -> Task<Result<std::optional<decltype(work())>>> {
    using R = decltype(work());
    struct Shared {
        std::optional<R> value;
        Waiter* waiter = nullptr;
    };
    Runtime& rt = Runtime::current();
    Reactor& reactor = rt.reactor();
    if (auto posting = reactor.enable_posting(); !posting) co_return fail(std::move(posting.error()));
    auto shared = std::make_shared<Shared>();
    Reactor::Wait wait(reactor, -1, 0, deadline);
    shared->waiter = &wait.waiter();
    // The handoff runs on the loop thread, so `shared` is touched by one thread only.
    reactor.expect_post();
    rt.pool().submit([shared, &reactor, work = std::move(work)]() mutable {
        R value = work();
        reactor.post([shared, value = std::move(value), &reactor]() mutable {
            shared->value = std::move(value);
            if (shared->waiter) reactor.fire(*shared->waiter, WaitStatus::Ready);
        });
    });
    if (!shared->value) co_await wait;
    shared->waiter = nullptr;
    co_return std::optional<R>(std::move(shared->value));
}

}  // namespace kelpie
