// Deadline: a time limit counted from a start tick on the OS layer's 32-bit millisecond counter.
// Every wait in the library is expressed with one; nothing else does time arithmetic by hand.
//
// Elapsed time is the unsigned difference between now and the start, so a wrap of the counter
// during a wait is harmless. A deadline expires once strictly more than its limit has passed: an
// answer that arrives exactly at the limit is still in time, and no wait ends early.
#pragma once

#include <cstdint>

#include "serial_device.h"

namespace orvex {

class Deadline {
  public:
    // A deadline of `limit_ms` counted from `start` (a tick count).
    Deadline(std::uint32_t start, int limit_ms) : start_(start), limit_ms_(limit_ms) {}
    // A deadline of `limit_ms` counted from now.
    static Deadline starting_now(int limit_ms) { return Deadline(os::tick_ms(), limit_ms); }

    // Milliseconds to wait from now until the deadline has expired; 0 once it has.
    std::uint32_t remaining_ms() const {
        const int elapsed = elapsed_ms();
        return elapsed > limit_ms_ ? 0u : static_cast<std::uint32_t>(limit_ms_ - elapsed) + 1u;
    }

    // True once strictly more than the limit has passed.
    bool expired() const { return elapsed_ms() > limit_ms_; }

    // Sleeps `ms`, or less when the deadline expires sooner: a pause between two polls.
    void pause(std::uint32_t ms) const {
        const std::uint32_t remaining = remaining_ms();
        os::sleep_ms(remaining < ms ? remaining : ms);
    }

  private:
    // Milliseconds since the start, at most 2^31 - 1.
    int elapsed_ms() const {
        const std::uint32_t ticks = os::tick_ms() - start_;
        return ticks > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(ticks);
    }

    std::uint32_t start_;
    int limit_ms_;
};

}  // namespace orvex
