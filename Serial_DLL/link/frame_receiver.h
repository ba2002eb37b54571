// The receive side of the port: reads 12-byte frames and regains framing on CR LF after noise.
// The only place in the library that resynchronises. Bytes of a frame not yet complete when a wait
// ends stay with the receiver, so the next read starts where this one stopped.
//
// Framing: a 12-byte window is a frame when its bytes 10-11 are CR LF. A window that is not drops
// its first byte and the next one is looked at, so no complete frame that follows noise is skipped
// over. Noise followed by the front of a frame whose data holds 0D 0A also makes a window that
// ends in CR LF. So, where framing is not known (at the start, or after bytes were dropped), the
// receiver looks at the input already waiting behind a frame (up to 23 bytes, kept for the next
// call): when the window right after it is complete and not a frame, while a later window over
// the same bytes is a frame followed by a frame, that later window is the frame. Right after a
// frame it was taken, the next 12 bytes are the next frame, as an adapter sends them. A caller
// that does not take a frame hands it back (pass_over_last) and the receiver looks again: at the
// window it passed over, else from the frame's second byte; so for a caller that knows the frame
// it waits for, no frame is lost, whatever its data and the noise around it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "can_serial_frame.h"
#include "deadline.h"
#include "last_result.h"
#include "serial_device.h"

namespace orvex {

// One wait for frames, over one or more calls of FrameReceiver::next. Once its deadline has
// passed, only the input that was waiting at that moment may still be read: no input rate
// stretches the wait. A wait that has others to give way to stops (kGiveWay) when one of the
// counters is above 0; one that was cancelled stops with kCancelled.
struct FrameWait {
    explicit FrameWait(const Deadline& d) : deadline(d) {}
    Deadline deadline;
    bool late = false;
    std::size_t late_allowance = 0;  // bytes still to be read once late
    const std::atomic<int>* give_way[2] = {nullptr, nullptr};

    bool must_give_way() const {
        for (const std::atomic<int>* waiting : give_way)
            if (waiting != nullptr && waiting->load(std::memory_order_relaxed) > 0) return true;
        return false;
    }
};

class FrameReceiver {
  public:
    // Drops what is held here (the device's own input stays). Closing the port calls it.
    void forget();
    // Bytes are held here: the front of a frame, or noise.
    bool holds_bytes() const { return have_ > 0; }

    // Waits for the next complete frame from `device` and copies it into `frame`. kTimeout once
    // the deadline has expired and the input waiting then is used up; kCancelled or kGiveWay as
    // FrameWait says; kSystemError, recorded, when the device fails or has gone away (its input
    // is purged then). Records nothing else: the caller decides what the frame means.
    Outcome next(os::DeviceHandle device, std::uint8_t* frame, FrameWait& wait);

    // The caller does not take the frame next() returned last: it may have been noise with the
    // front of a frame, so its bytes are looked at again as said above.
    void pass_over_last();

  private:
    // A window that ends in CR LF starts at `at` and is complete.
    bool frame_at(std::size_t at) const;
    void drop(std::size_t count);
    // Where framing is not known: how far a later window is the frame rather than the one at
    // the front (0 when it is not), or kFailed when the device failed (recorded).
    std::size_t later_frame(os::DeviceHandle device, FrameWait& wait);
    static constexpr std::size_t kFailed = ~std::size_t{0};
    // Reads at most `wanted` bytes: without waiting when `no_wait`, else until the deadline. False
    // with `outcome` set when the wait is over or the device failed.
    bool read_more(os::DeviceHandle device, std::size_t wanted, bool no_wait, FrameWait& wait,
                   Outcome& outcome);

    // A frame and the bytes looked at behind it; room for a frame handed back on top.
    static constexpr std::size_t kLookBehind = 3 * kFrameSize - 1;
    static constexpr std::size_t kCapacity = kLookBehind + kFrameSize;
    std::uint8_t held_[kCapacity] = {};
    std::size_t have_ = 0;
    bool aligned_ = false;     // the bytes held follow a frame taken
    bool take_first_ = false;  // a later frame was passed over: take the front one this time
    bool have_last_ = false;   // last_ holds the bytes of the frame next() returned last
    std::size_t skipped_ = 0;  // and the bytes before it that were passed over
    std::uint8_t last_[2 * kFrameSize - 1] = {};
};

}  // namespace orvex
