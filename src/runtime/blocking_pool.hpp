// Threads for blocking work (host-name resolution). Threads start on demand,
// up to a limit; an idle thread exits after lingering a while; shutdown tells
// every thread to stop and joins each one after its current job.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <list>
#include <mutex>
#include <thread>
#include <vector>

#include "runtime/clock.hpp"

namespace kelpie {

class BlockingPool {
public:
    static constexpr std::size_t kMaxThreads = 512;

    explicit BlockingPool(std::size_t max_threads = kMaxThreads,
                          std::chrono::milliseconds linger = std::chrono::seconds(10));
    BlockingPool(const BlockingPool&) = delete;
    BlockingPool& operator=(const BlockingPool&) = delete;
    ~BlockingPool() { shutdown(); }

    // Queues a job, starting a thread when none is idle. Throws InternalFault
    // when no thread exists and the system refuses to start one.
    void submit(std::function<void()> job);

    // Stops accepting work and joins every thread; queued jobs not yet started are dropped.
    void shutdown() noexcept;

    std::size_t live_threads() const;

private:
    void worker();
    void reap_locked(std::vector<std::thread>& out);

    const std::size_t max_threads_;
    const std::chrono::milliseconds linger_;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> queue_;
    std::list<std::thread> threads_;
    std::vector<std::thread::id> exited_;
    std::size_t live_ = 0;
    std::size_t idle_ = 0;
    bool stopping_ = false;
};

}  // namespace kelpie
