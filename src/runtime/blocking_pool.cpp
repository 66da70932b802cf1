#include "runtime/blocking_pool.hpp"

#include <algorithm>
#include <system_error>

#include "error.hpp"
#include "fault.hpp"

namespace kelpie {

BlockingPool::BlockingPool(std::size_t max_threads, std::chrono::milliseconds linger)
    : max_threads_(max_threads), linger_(linger) {}

std::size_t BlockingPool::live_threads() const {
    std::lock_guard lock(mutex_);
    return live_;
}

// Moves the handles of threads that have left worker() out for joining, so
// their stacks are released without waiting for shutdown.
void BlockingPool::reap_locked(std::vector<std::thread>& out) {
    for (auto id : exited_) {
        auto it = std::find_if(threads_.begin(), threads_.end(),
                               [id](const std::thread& t) { return t.get_id() == id; });
        if (it != threads_.end()) {
            out.push_back(std::move(*it));
            threads_.erase(it);
        }
    }
    exited_.clear();
}

void BlockingPool::submit(std::function<void()> job) {
    std::vector<std::thread> finished;
    {
        std::unique_lock lock(mutex_);
        reap_locked(finished);
        queue_.push_back(std::move(job));
        if (idle_ >= queue_.size() || live_ >= max_threads_) {
            cv_.notify_one();
        } else {
            try {
                threads_.emplace_back([this] { worker(); });
                ++live_;
            } catch (const std::system_error& e) {
                // With live threads the job simply waits its turn.
                if (live_ == 0) {
                    queue_.pop_back();
                    lock.unlock();
                    for (auto& t : finished) t.join();
                    throw InternalFault("OS can't spawn worker thread: " +
                                        IoError::os(e.code().value()).describe());
                }
            }
        }
    }
    for (auto& t : finished) t.join();
}

void BlockingPool::worker() {
    std::unique_lock lock(mutex_);
    for (;;) {
        ++idle_;
        const bool woke = cv_.wait_for(lock, linger_, [this] { return stopping_ || !queue_.empty(); });
        --idle_;
        if (stopping_ || !woke) break;
        auto job = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        job();
        job = nullptr;  // its captures are released off the lock
        lock.lock();
    }
    --live_;
    exited_.push_back(std::this_thread::get_id());
}

void BlockingPool::shutdown() noexcept {
    std::list<std::thread> all;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        queue_.clear();
        all.swap(threads_);
        exited_.clear();
    }
    cv_.notify_all();
    for (auto& t : all) t.join();
}

}  // namespace kelpie
