#include "frame_receiver.h"

#include <cstring>

#include "exchange.h"
#include "port_state.h"

namespace orvex {

FrameReceiver& port_receiver() {
    // Trivially constructible: no static constructor or destructor is involved.
    static FrameReceiver receiver;
    return receiver;
}

void FrameReceiver::discard_waiting(os::DeviceHandle device) {
    have_ = 0;
    device_ = device;
    if (device == os::kNoDevice) return;
    os::LockGuard guard(port_lock());
    os::purge(device, os::Purge::kReceive);
}

void FrameReceiver::drop_noise() {
    std::size_t drop = 1;
    for (std::size_t i = 0; i + 2 < kFrameSize; ++i) {
        if (window_[i] == 0x0D && window_[i + 1] == 0x0A) {
            drop = i + 2;
            break;
        }
    }
    std::memmove(window_, window_ + drop, kFrameSize - drop);
    have_ = kFrameSize - drop;
}

Outcome FrameReceiver::next(os::DeviceHandle device, std::uint8_t* frame, std::uint32_t start,
                            int limit_ms) {
    if (device != device_) {
        have_ = 0;  // bytes of a port that has been closed since
        device_ = device;
    }
    for (;;) {
        if (have_ == kFrameSize) {
            if (has_terminator(window_)) {
                std::memcpy(frame, window_, kFrameSize);
                have_ = 0;
                return Outcome::kOk;
            }
            drop_noise();
            continue;
        }
        const int elapsed = TickClock_ElapsedMs(start);
        const bool late = elapsed > limit_ms;
        // One more look (without waiting) once late: input that is already there still counts.
        const auto remaining = late ? 0u : static_cast<std::uint32_t>(limit_ms - elapsed) + 1u;
        bool ready = false;
        const os::Status waited = os::wait_readable(device, remaining, ready);
        if (!waited.ok) {
            record_system_error(waited.error);
            return Outcome::kSystemError;
        }
        if (!ready) {
            if (late || TickClock_ElapsedMs(start) > limit_ms) return Outcome::kTimeout;
            continue;
        }
        // Never more than the rest of one frame, so that what follows stays in the device.
        std::size_t got = 0;
        os::Status read;
        {
            os::LockGuard guard(port_lock());
            read = os::read_waiting(device, window_ + have_, kFrameSize - have_, got);
            if (!read.ok) os::purge(device, os::Purge::kReceive);
        }
        if (!read.ok) {
            have_ = 0;
            record_system_error(read.error);
            return Outcome::kSystemError;
        }
        have_ += got;
        if (have_ < kFrameSize && late) return Outcome::kTimeout;
    }
}

}  // namespace orvex
