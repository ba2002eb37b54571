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
    if (device == os::kNoDevice) return;
    PortGuard guard;
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

Outcome FrameReceiver::next(os::DeviceHandle device, std::uint8_t* frame,
                            const Deadline& deadline) {
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
        // Once late, one look without waiting: input that is already there still counts.
        const bool late = deadline.expired();
        bool input_ready = false;
        const os::Status status =
            os::wait_readable(device, late ? 0u : deadline.remaining_ms(), input_ready);
        if (!status.ok) {
            record_system_error(status.error);
            return Outcome::kSystemError;
        }
        if (!input_ready) {
            if (late) return Outcome::kTimeout;
            continue;
        }
        // Never more than the rest of one frame, so that what follows stays in the device.
        std::size_t got = 0;
        if (read_some(device, window_ + have_, kFrameSize - have_, got) != Outcome::kOk) {
            have_ = 0;
            return Outcome::kSystemError;
        }
        have_ += got;
        // In a flood of noise that never makes a frame, the deadline still ends the wait.
        if (late && have_ < kFrameSize) return Outcome::kTimeout;
    }
}

}  // namespace orvex
