// The event loop of one runtime: socket readiness, a timer heap for
// deadlines, and a queue through which blocking-pool threads hand results
// back. It is driven only by the thread inside a blocking call.
//
// Readiness comes from poll(2) over the sockets that have a waiter. A client
// has one socket, two while it removes a forward; an epoll set would answer
// the same question for them at the price of three more system calls and a
// descriptor for every client made, and registration to keep in step with
// sockets that close. Every wait follows a call that found its socket not
// ready, so poll's level-triggered report is exactly the one needed.
#pragma once

#include <poll.h>

#include <coroutine>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "error.hpp"
#include "runtime/clock.hpp"
#include "runtime/fd.hpp"
#include "runtime/timer_heap.hpp"

namespace kelpie {

enum class WaitStatus { Ready, TimedOut };

// One suspended coroutine waiting for a socket direction, a deadline, or a
// wake-up from elsewhere, whichever comes first.
struct Waiter {
    std::coroutine_handle<> handle;
    WaitStatus status = WaitStatus::Ready;
    int fd = -1;
    std::uint32_t events = 0;
    std::uint32_t seen = 0;  // the poll flags that ended a socket wait
    std::optional<std::uint64_t> timer;
    bool armed = false;
};

class Reactor {
public:
    static Result<std::unique_ptr<Reactor>> create(Clock& clock);
    Reactor(const Reactor&) = delete;
    Reactor& operator=(const Reactor&) = delete;

    Clock& clock() const { return clock_; }

    void arm(Waiter& w, std::optional<Instant> deadline);
    void disarm(Waiter& w) noexcept;
    // Ends the wait with `status`; a waiter that already ended is left alone.
    void fire(Waiter& w, WaitStatus status);

    // Makes post() usable. The wake-up descriptor is created on first need:
    // most clients never resolve a host name, and every descriptor costs
    // system calls when a client is made and dropped.
    Result<void> enable_posting();
    // Queues work for the loop thread; callable from any thread once posting is enabled.
    void post(std::function<void()> fn);
    // Announces one post still to come (a job handed to the pool), so that
    // the loop is not taken for quiet while it is outstanding.
    void expect_post() { ++posts_expected_; }

    // True when nothing in this runtime can become ready but through the
    // caller: no socket or timer waits, no post outstanding, nothing about
    // to be resumed. A caller that is about to wait without a deadline may
    // then block its thread in the kernel directly.
    bool quiet() const {
        return io_waiters_.empty() && timers_.size() == 0 && posts_expected_ == 0 && due_.empty() &&
               batch_left_ == 0;
    }

    // Waits once for I/O, a timer or posted work, then resumes whatever is due.
    void turn();

    // The awaitable behind every suspension: readiness of fd (when fd >= 0)
    // or wake-up through fire(), bounded by the deadline when one is given.
    class Wait {
    public:
        Wait(Reactor& r, int fd, std::uint32_t events, std::optional<Instant> deadline)
            : reactor_(r), deadline_(deadline) {
            waiter_.fd = fd;
            waiter_.events = events;
        }
        Wait(const Wait&) = delete;
        Wait& operator=(const Wait&) = delete;
        ~Wait() { reactor_.disarm(waiter_); }

        bool await_ready() {
            if (deadline_ && *deadline_ <= reactor_.clock().now()) {
                waiter_.status = WaitStatus::TimedOut;
                return true;
            }
            return false;
        }
        void await_suspend(std::coroutine_handle<> h) {
            waiter_.handle = h;
            reactor_.arm(waiter_, deadline_);
        }
        WaitStatus await_resume() const noexcept { return waiter_.status; }
        Waiter& waiter() { return waiter_; }
        // The poll flags (POLLERR, POLLHUP, ...) that ended a socket wait.
        std::uint32_t seen() const { return waiter_.seen; }

    private:
        Reactor& reactor_;
        std::optional<Instant> deadline_;
        Waiter waiter_;
    };

    Wait readable(int fd, std::optional<Instant> deadline) { return Wait(*this, fd, POLLIN, deadline); }
    Wait writable(int fd, std::optional<Instant> deadline) { return Wait(*this, fd, POLLOUT, deadline); }
    Wait sleep_until(Instant deadline) { return Wait(*this, -1, 0, deadline); }

private:
    explicit Reactor(Clock& clock) : clock_(clock) {}
    void collect_polled();
    void dispatch(int fd, std::uint32_t got);
    void drain_posted();

    Clock& clock_;
    Fd wake_;
    TimerHeap<Waiter*> timers_;
    std::vector<Waiter*> io_waiters_;
    std::vector<std::coroutine_handle<>> due_;
    std::vector<std::coroutine_handle<>> resuming_;  // kept to reuse its storage
    std::size_t batch_left_ = 0;                     // of resuming_, after the one running
    std::size_t posts_expected_ = 0;                 // touched by the loop thread only
    std::vector<pollfd> polled_;  // rebuilt every turn, kept to reuse its storage
    std::mutex posted_mutex_;
    std::vector<std::function<void()>> posted_;
};

}  // namespace kelpie
