// Deadline: a time limit counted from a start tick on the OS layer's 32-bit millisecond counter.
// Every wait in the library is expressed with one; nothing else does time arithmetic by hand.
//
// Elapsed time is the unsigned difference between now and the start, so a wrap of the counter
// during a wait is harmless. A deadline expires once strictly more than its limit has passed: an
// answer that arrives exactly at the limit is still in time, and no wait ends early.
//
// A deadline also remembers the cancel generation its wait counts from (see cancel.h): once
// Orvex_Cancel has been called after that, `cancelled()` is true and the wait ends.
#pragma once

#include <cstdint>

#include "cancel.h"
#include "serial_device.h"

namespace orvex {

class Deadline {
  public:
    // A deadline of `limit_ms` counted from `start` (a tick count).
    Deadline(std::uint32_t start, int limit_ms)
        : start_(start), limit_ms_(limit_ms), generation_(wait_generation()) {}
    // A deadline of `limit_ms` counted from now.
    static Deadline starting_now(int limit_ms) { return Deadline(os::tick_ms(), limit_ms); }

    // Milliseconds to wait from now until the deadline has expired; 0 once it has.
    std::uint32_t remaining_ms() const {
        const int elapsed = elapsed_ms();
        return elapsed > limit_ms_ ? 0u : static_cast<std::uint32_t>(limit_ms_ - elapsed) + 1u;
    }

    // True once strictly more than the limit has passed.
    bool expired() const { return elapsed_ms() > limit_ms_; }

    // True once Orvex_Cancel was called after this wait began.
    bool cancelled() const { return cancelled_since(generation_); }

    // How long one blocking step of the wait may take: the time remaining, but never so long
    // that a cancel goes unseen.
    std::uint32_t step_ms() const {
        const std::uint32_t remaining = remaining_ms();
        return remaining < kCancelCheckMs ? remaining : kCancelCheckMs;
    }

    // Sleeps `ms`, or less when the deadline expires or the wait is cancelled sooner: a pause
    // between two polls.
    void pause(std::uint32_t ms) const {
        const std::uint32_t started = os::tick_ms();
        for (std::uint32_t slept = 0; slept < ms && !cancelled(); slept = os::tick_ms() - started) {
            std::uint32_t step = step_ms();
            if (step == 0) return;
            if (step > ms - slept) step = ms - slept;
            os::sleep_ms(step);
        }
    }

  private:
    // Milliseconds since the start, at most 2^31 - 1.
    int elapsed_ms() const {
        const std::uint32_t ticks = os::tick_ms() - start_;
        return ticks > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(ticks);
    }

    std::uint32_t start_;
    int limit_ms_;
    std::uint32_t generation_;
};

}  // namespace orvex
