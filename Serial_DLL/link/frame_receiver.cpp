#include "frame_receiver.h"

#include <algorithm>
#include <cstring>

namespace orvex {

void FrameReceiver::forget() {
    have_ = 0;
    have_last_ = false;
    aligned_ = false;
    take_first_ = false;
}

bool FrameReceiver::frame_at(std::size_t at) const {
    return at + kFrameSize <= have_ && has_terminator(held_ + at);
}

void FrameReceiver::drop(std::size_t count) {
    std::memmove(held_, held_ + count, have_ - count);
    have_ -= count;
}

void FrameReceiver::pass_over_last() {
    if (!have_last_) return;
    have_last_ = false;
    // A frame chosen over an earlier window: the earlier one is the next to look at. Otherwise
    // the frame itself was wrong, and its second byte is.
    const std::size_t from = skipped_ > 0 ? 0 : 1;
    const std::size_t back = skipped_ + kFrameSize - from;
    if (have_ + back > kCapacity) return;
    std::memmove(held_ + back, held_, have_);
    std::memcpy(held_, last_ + from, back);
    have_ += back;
    take_first_ = skipped_ > 0;
    aligned_ = false;
}

bool FrameReceiver::read_more(os::DeviceHandle device, std::size_t wanted, bool no_wait,
                              FrameWait& wait, Outcome& outcome) {
    outcome = Outcome::kOk;
    if (!wait.late && wait.deadline.expired()) {
        // From now on only what is already there counts, however fast more comes in.
        wait.late = true;
        os::Status status;
        wait.late_allowance = os::bytes_waiting(device, status);
        if (!status.ok) {
            record_system_error(status.error);
            outcome = Outcome::kSystemError;
            return false;
        }
    }
    if (wait.late) {
        if (wait.late_allowance == 0) {
            outcome = Outcome::kTimeout;
            return false;
        }
        wanted = std::min(wanted, wait.late_allowance);
    } else {
        if (!no_wait && wait.deadline.cancelled()) {
            outcome = Outcome::kCancelled;
            return false;
        }
        if (!no_wait && wait.must_give_way()) {
            outcome = Outcome::kGiveWay;
            return false;
        }
        bool input_ready = false;
        // In steps, so that a cancel or a stop waiting for the line is seen in time.
        const os::Status status =
            os::wait_readable(device, no_wait ? 0u : wait.deadline.step_ms(), input_ready);
        if (!status.ok) {
            record_system_error(status.error);
            outcome = Outcome::kSystemError;
            return false;
        }
        if (!input_ready) return !no_wait;  // waited: the deadline is looked at again
    }
    std::size_t got = 0;
    const os::Status status = os::read_waiting(device, held_ + have_, wanted, got);
    if (!status.ok) {
        os::purge(device, os::Purge::kReceive);
        record_system_error(status.error);
        forget();
        outcome = Outcome::kSystemError;
        return false;
    }
    have_ += got;
    if (wait.late) wait.late_allowance -= std::min(got, wait.late_allowance);
    return true;
}

Outcome FrameReceiver::next(os::DeviceHandle device, std::uint8_t* frame, FrameWait& wait) {
    for (;;) {
        if (have_ >= kFrameSize) {
            std::size_t first = 0;
            while (first + kFrameSize <= have_ && !frame_at(first)) ++first;
            if (!frame_at(first)) {
                drop(have_ - (kFrameSize - 1));  // the last 11 bytes may still begin a frame
                aligned_ = false;
            } else {
                if (first > 0) aligned_ = false;
                drop(first);
                const std::size_t skip = aligned_ ? 0 : later_frame(device, wait);
                if (skip == kFailed) return Outcome::kSystemError;
                std::memcpy(last_, held_, skip + kFrameSize);
                skipped_ = skip;
                have_last_ = true;
                std::memcpy(frame, held_ + skip, kFrameSize);
                drop(skip + kFrameSize);
                aligned_ = true;
                return Outcome::kOk;
            }
        }
        // Never more than the rest of one frame while looking for one.
        Outcome outcome;
        if (!read_more(device, kFrameSize - have_, false, wait, outcome)) return outcome;
    }
}

std::size_t FrameReceiver::later_frame(os::DeviceHandle device, FrameWait& wait) {
    if (take_first_) {
        take_first_ = false;
        return 0;
    }
    // Only input already there is looked at.
    for (Outcome outcome; have_ < kLookBehind;) {
        const std::size_t before = have_;
        if (!read_more(device, kLookBehind - have_, true, wait, outcome)) {
            if (outcome == Outcome::kSystemError) return kFailed;
            break;
        }
        if (have_ == before) break;
    }
    if (have_ < 2 * kFrameSize || frame_at(kFrameSize)) return 0;
    for (std::size_t later = 1; later < kFrameSize; ++later)
        if (frame_at(later) && frame_at(later + kFrameSize)) return later;
    return 0;
}

}  // namespace orvex
