#include "runtime/clock.hpp"

#include <time.h>

namespace kelpie {

Instant MonotonicClock::now() const {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return Instant(std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec));
}

std::optional<Duration> MonotonicClock::real_wait(std::optional<Instant> until) const {
    if (!until) return std::nullopt;
    const Instant t = now();
    return *until > t ? *until - t : Duration::zero();
}

std::optional<Duration> VirtualClock::real_wait(std::optional<Instant> until) const {
    if (!until) return std::nullopt;
    return *until > now_ ? settle_ : Duration::zero();
}

void VirtualClock::idle(Instant until) {
    if (until > now_) now_ = until;
}

}  // namespace kelpie
