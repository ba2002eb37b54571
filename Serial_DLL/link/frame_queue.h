// A bounded queue of 12-byte frames, in arrival order. When it is full the oldest frame makes room
// for the new one, and the loss is counted.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "can_serial_frame.h"

namespace orvex {

template <std::size_t Capacity>
class FrameQueue {
  public:
    static constexpr std::size_t kCapacity = Capacity;

    void push(const std::uint8_t* frame) {
        if (count_ == Capacity) {
            first_ = (first_ + 1) % Capacity;
            --count_;
            dropped_.fetch_add(1, std::memory_order_relaxed);
        }
        std::memcpy(frames_[(first_ + count_) % Capacity], frame, kFrameSize);
        ++count_;
    }

    bool pop(std::uint8_t* frame) {
        if (count_ == 0) return false;
        std::memcpy(frame, frames_[first_], kFrameSize);
        first_ = (first_ + 1) % Capacity;
        --count_;
        return true;
    }

    bool empty() const { return count_ == 0; }
    void clear() { first_ = count_ = 0; }
    // Frames dropped for newer ones; may be read without the lock that guards the rest.
    std::uint32_t dropped() const { return dropped_.load(std::memory_order_relaxed); }

  private:
    std::uint8_t frames_[Capacity][kFrameSize] = {};
    std::size_t first_ = 0;
    std::size_t count_ = 0;
    std::atomic<std::uint32_t> dropped_{0};
};

}  // namespace orvex
