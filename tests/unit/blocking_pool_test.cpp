#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "runtime/blocking_pool.hpp"

namespace kelpie {
namespace {

using namespace std::chrono_literals;

// Polls `cond` for up to two seconds.
template <class F>
bool eventually(F cond) {
    for (int i = 0; i < 2000; ++i) {
        if (cond()) return true;
        std::this_thread::sleep_for(1ms);
    }
    return cond();
}

TEST(BlockingPoolTest, ThreadsStartOnDemandAndIdleOnesExitAfterTheLinger) {
    BlockingPool pool(4, 50ms);
    EXPECT_EQ(pool.live_threads(), 0u);
    std::atomic<bool> gate{false};
    std::atomic<int> done{0};
    for (int i = 0; i < 2; ++i)
        pool.submit([&] {
            while (!gate) std::this_thread::sleep_for(1ms);
            ++done;
        });
    EXPECT_EQ(pool.live_threads(), 2u);
    gate = true;
    EXPECT_TRUE(eventually([&] { return done == 2; }));
    EXPECT_TRUE(eventually([&] { return pool.live_threads() == 0; }));
}

TEST(BlockingPoolTest, AtTheLimitWorkWaitsItsTurn) {
    BlockingPool pool(1, 10s);
    std::atomic<bool> gate{false};
    std::mutex m;
    std::vector<int> order;
    pool.submit([&] {
        while (!gate) std::this_thread::sleep_for(1ms);
        std::lock_guard l(m);
        order.push_back(1);
    });
    pool.submit([&] {
        std::lock_guard l(m);
        order.push_back(2);
    });
    EXPECT_EQ(pool.live_threads(), 1u);
    std::this_thread::sleep_for(20ms);
    {
        std::lock_guard l(m);
        EXPECT_TRUE(order.empty());
    }
    gate = true;
    EXPECT_TRUE(eventually([&] {
        std::lock_guard l(m);
        return order.size() == 2;
    }));
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

TEST(BlockingPoolTest, ShutdownJoinsABusyThreadAndDropsQueuedWork) {
    std::atomic<bool> started{false}, first_done{false}, second_ran{false};
    {
        BlockingPool pool(1, 10s);
        pool.submit([&] {
            started = true;
            std::this_thread::sleep_for(50ms);
            first_done = true;
        });
        pool.submit([&] { second_ran = true; });
        ASSERT_TRUE(eventually([&] { return started.load(); }));
        pool.shutdown();
        EXPECT_TRUE(first_done);
        EXPECT_EQ(pool.live_threads(), 0u);
    }
    EXPECT_FALSE(second_ran);
}

}  // namespace
}  // namespace kelpie
