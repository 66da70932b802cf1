#include "runtime/reactor.hpp"

#include <sys/eventfd.h>

#include <algorithm>
#include <cerrno>

#include "fault.hpp"

namespace kelpie {

namespace {

// poll takes whole milliseconds; rounding up keeps a timer from spinning
// the loop in the last fraction of a millisecond before it is due.
int to_timeout_ms(std::optional<Duration> wait) {
    if (!wait) return -1;
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(*wait).count();
    if (ns <= 0) return 0;
    const long long ms = (ns + 999'999) / 1'000'000;
    return ms > 1'000'000'000 ? 1'000'000'000 : static_cast<int>(ms);
}

}  // namespace

Result<std::unique_ptr<Reactor>> Reactor::create(Clock& clock) {
    return std::unique_ptr<Reactor>(new Reactor(clock));
}

Result<void> Reactor::enable_posting() {
    if (wake_) return {};
    Fd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake) return fail(ClientError::os(errno));
    wake_ = std::move(wake);
    return {};
}

void Reactor::arm(Waiter& w, std::optional<Instant> deadline) {
    w.armed = true;
    w.status = WaitStatus::Ready;
    w.seen = 0;
    if (w.fd >= 0) io_waiters_.push_back(&w);
    if (deadline) w.timer = timers_.insert(*deadline, &w);
}

void Reactor::disarm(Waiter& w) noexcept {
    if (!w.armed) return;
    w.armed = false;
    if (w.timer) timers_.cancel(*w.timer);
    w.timer.reset();
    if (w.fd >= 0) std::erase(io_waiters_, &w);
}

void Reactor::fire(Waiter& w, WaitStatus status) {
    if (!w.armed) return;
    disarm(w);
    w.status = status;
    due_.push_back(w.handle);
}

void Reactor::post(std::function<void()> fn) {
    {
        std::lock_guard lock(posted_mutex_);
        posted_.push_back(std::move(fn));
    }
    const std::uint64_t one = 1;
    // The counter only saturates after 2^64-2 unread posts; a failed write
    // would mean the descriptor is gone, which the loop's owner prevents.
    [[maybe_unused]] auto n = ::write(wake_.get(), &one, sizeof one);
}

void Reactor::drain_posted() {
    std::uint64_t count;
    [[maybe_unused]] auto n = ::read(wake_.get(), &count, sizeof count);
    std::vector<std::function<void()>> work;
    {
        std::lock_guard lock(posted_mutex_);
        work.swap(posted_);
    }
    posts_expected_ -= std::min(posts_expected_, work.size());
    for (auto& fn : work) fn();
}

// One entry per socket with a waiter (a reader and a writer of one socket
// share it), then the wake-up descriptor when posting is on.
void Reactor::collect_polled() {
    polled_.clear();
    for (const Waiter* w : io_waiters_) {
        auto same = std::find_if(polled_.begin(), polled_.end(), [&](const pollfd& p) { return p.fd == w->fd; });
        if (same == polled_.end()) same = polled_.insert(polled_.end(), pollfd{w->fd, POLLRDHUP, 0});
        same->events = static_cast<short>(same->events | w->events);
    }
    if (wake_) polled_.push_back({wake_.get(), POLLIN, 0});
}

void Reactor::dispatch(int fd, std::uint32_t got) {
    const std::uint32_t seen = got;
    // Errors and hang-ups wake both directions: the retried system call reports them.
    if (got & (POLLERR | POLLHUP | POLLRDHUP | POLLNVAL)) got |= POLLIN | POLLOUT;
    for (std::size_t k = 0; k < io_waiters_.size();) {
        Waiter* w = io_waiters_[k];
        if (w->fd == fd && (w->events & got)) {
            w->seen = seen;
            fire(*w, WaitStatus::Ready);  // removes it from io_waiters_
        } else {
            ++k;
        }
    }
}

void Reactor::turn() {
    const auto next = timers_.next_deadline();
    const int timeout = to_timeout_ms(clock_.real_wait(next));
    collect_polled();
    int n = ::poll(polled_.data(), polled_.size(), timeout);
    if (n < 0) {
        if (errno != EINTR) throw InternalFault("poll failed: " + IoError::os(errno).describe());
        n = 0;
    }
    if (n == 0 && next) clock_.idle(*next);

    for (const pollfd& p : polled_) {
        if (p.revents == 0) continue;
        if (wake_ && p.fd == wake_.get()) {
            drain_posted();
        } else {
            dispatch(p.fd, static_cast<std::uint16_t>(p.revents));
        }
    }

    if (timers_.size() != 0) {  // most waits have no deadline: skip the clock read
        const Instant now = clock_.now();
        while (auto w = timers_.pop_due(now)) {
            (*w)->timer.reset();
            fire(**w, WaitStatus::TimedOut);
        }
    }

    // Resume only after the whole batch is recorded, so a resumed coroutine
    // that closes a socket cannot leave this loop holding a stale event.
    resuming_.swap(due_);
    for (std::size_t i = 0; i < resuming_.size(); ++i) {
        batch_left_ = resuming_.size() - i - 1;
        resuming_[i].resume();
    }
    batch_left_ = 0;
    resuming_.clear();
}

}  // namespace kelpie
