#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>

#include "fixtures.hpp"
#include "runtime/reactor.hpp"
#include "runtime/runtime.hpp"

namespace kelpie {
namespace {

using namespace std::chrono_literals;
using test::SocketPair;

Task<WaitStatus> wait_readable(Reactor& reactor, int fd, std::optional<Instant> deadline) {
    co_return co_await reactor.readable(fd, deadline);
}

TEST(ReactorTest, DeadlineWithoutIoElapsesInVirtualTimeOnly) {
    auto [clock, rt] = test::virtual_runtime();
    auto pair = SocketPair::make();
    const Instant start = clock->now();
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(rt->block_on(wait_readable(rt->reactor(), pair.near.fd(), start + 10s)), WaitStatus::TimedOut);
    EXPECT_EQ(clock->now() - start, Duration(10s));
    EXPECT_LT(test::real_seconds_since(t0), 1.0);
}

// Readiness and an expired deadline seen in the same turn: the data wins.
TEST(ReactorTest, ReadinessBeatsADeadlineDueInTheSameTurn) {
    VirtualClock clock;
    auto reactor = Reactor::create(clock);
    ASSERT_TRUE(reactor);
    auto pair = SocketPair::make();
    auto task = wait_readable(**reactor, pair.near.fd(), clock.now() + 1s);
    task.start();
    ASSERT_FALSE(task.done());
    clock.advance(2s);
    ASSERT_TRUE(test::send_all(pair.far.get(), test::bytes_of("x")));
    (*reactor)->turn();
    ASSERT_TRUE(task.done());
    EXPECT_EQ(task.take_result(), WaitStatus::Ready);
}

TEST(RuntimeTest, CurrentOutsideBlockOnIsAFault) { EXPECT_THROW(Runtime::current(), InternalFault); }

TEST(RuntimeTest, BlockOnRestoresThePreviousRuntime) {
    auto outer = test::real_runtime();
    auto inner = test::real_runtime();
    auto nested = [&]() -> Task<int> {
        EXPECT_EQ(&Runtime::current(), outer.get());
        auto seen = [&]() -> Task<Runtime*> { co_return &Runtime::current(); };
        EXPECT_EQ(inner->block_on(seen()), inner.get());
        EXPECT_EQ(&Runtime::current(), outer.get());
        auto throws = [&]() -> Task<int> {
            throw std::logic_error("boom");
            co_return 0;
        };
        EXPECT_THROW(inner->block_on(throws()), std::logic_error);
        EXPECT_EQ(&Runtime::current(), outer.get());
        co_return 7;
    };
    EXPECT_EQ(outer->block_on(nested()), 7);
    EXPECT_THROW(Runtime::current(), InternalFault);
}

TEST(RuntimeTest, RunBlockingReturnsTheValue) {
    auto [clock, rt] = test::virtual_runtime();
    auto r = rt->block_on(run_blocking([] { return 42; }, std::nullopt));
    EXPECT_EQ(r.value(), 42);
}

// A job that a pool thread has taken is waited for; one still queued is dropped.
TEST(RuntimeTest, RunBlockingPastDeadlineGivesNoneAndDestructionWaitsForTheJob) {
    std::atomic<bool> started{false}, finished{false};
    {
        auto [clock, rt] = test::virtual_runtime();
        auto r = rt->block_on(run_blocking(
            [&] {
                started = true;
                std::this_thread::sleep_for(50ms);
                finished = true;
                return 1;
            },
            rt->now()));
        EXPECT_FALSE(r.value());
        for (int i = 0; i < 2000 && !started; ++i) std::this_thread::sleep_for(1ms);
    }
    EXPECT_TRUE(finished);
}

// The job outlives its waiter; its late result must not reach the finished wait.
TEST(RuntimeTest, LateResultAfterTimeoutIsHarmless) {
    auto [clock, rt] = test::virtual_runtime(1ms);
    std::atomic<bool> gate{false};
    auto first = rt->block_on(run_blocking(
        [&] {
            while (!gate) std::this_thread::sleep_for(1ms);
            return 1;
        },
        rt->now() + 5s));
    EXPECT_FALSE(first.value());
    gate = true;
    std::this_thread::sleep_for(20ms);  // lets the late result be posted before the next turn
    EXPECT_EQ(rt->block_on(run_blocking([] { return 2; }, std::nullopt)).value(), 2);
}

}  // namespace
}  // namespace kelpie
