// The time source behind the runtime's timers. The product always runs on
// the monotonic clock; tests substitute a virtual clock so that limits of
// many seconds elapse in milliseconds.
#pragma once

#include <chrono>
#include <optional>

namespace kelpie {

using Instant = std::chrono::steady_clock::time_point;
using Duration = std::chrono::steady_clock::duration;

class Clock {
public:
    virtual ~Clock() = default;
    virtual Instant now() const = 0;
    // How long the reactor may block in the operating system when the
    // nearest deadline is `until` (none: no timer pending, block until I/O).
    virtual std::optional<Duration> real_wait(std::optional<Instant> until) const = 0;
    // The reactor waited as long as real_wait allowed and nothing happened.
    virtual void idle(Instant until) = 0;
};

class MonotonicClock final : public Clock {
public:
    Instant now() const override;
    std::optional<Duration> real_wait(std::optional<Instant> until) const override;
    void idle(Instant) override {}
};

// Time stands still until the runtime has nothing to do; then, after a short
// real pause that lets a peer's bytes arrive, it jumps to the next deadline.
class VirtualClock final : public Clock {
public:
    explicit VirtualClock(Duration settle = std::chrono::milliseconds(30)) : settle_(settle) {}
    Instant now() const override { return now_; }
    std::optional<Duration> real_wait(std::optional<Instant> until) const override;
    void idle(Instant until) override;
    void advance(Duration d) { now_ += d; }

private:
    Duration settle_;
    Instant now_{std::chrono::hours(1)};
};

}  // namespace kelpie
