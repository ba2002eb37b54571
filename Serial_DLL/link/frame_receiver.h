// The receive side of the port: reads 12-byte frames and regains framing on CR LF after noise.
// The only place in the library that resynchronises. Bytes of a frame not yet complete when a wait
// ends stay with the receiver, so the next read starts where this one stopped.
//
// Framing: a 12-byte window is a frame when its bytes 10-11 are CR LF. A window that is not drops
// its first byte and the next one is looked at, so no complete frame that follows noise is skipped
// over. Noise followed by the front of a frame whose data holds 0D 0A also makes a window that
// ends in CR LF; so the receiver looks at the input already waiting behind a frame (at most 12
// bytes, kept for the next call): when the window right after it is complete and not a frame,
// while a later window over the same bytes ends in CR LF, that later window is the frame. A
// caller that does not take a frame hands it back (pass_over_last) and its bytes after the first
// are looked at again, so a frame whose tail had not arrived yet is still found.
#pragma once

#include <cstddef>
#include <cstdint>

#include "can_serial_frame.h"
#include "deadline.h"
#include "last_result.h"
#include "serial_device.h"

namespace orvex {

// One wait for frames, over one or more calls of FrameReceiver::next. Once its deadline has
// passed, only the input that was waiting at that moment may still be read: no input rate
// stretches the wait.
struct FrameWait {
    explicit FrameWait(const Deadline& d) : deadline(d) {}
    Deadline deadline;
    bool late = false;
    std::size_t late_allowance = 0;  // bytes still to be read once late
};

class FrameReceiver {
  public:
    // Drops input waiting in the device and anything held here: whatever was received before a
    // request answers an earlier one.
    void discard_waiting(os::DeviceHandle device);

    // Drops what is held here (the device's own input stays). Closing the port calls it.
    void forget();

    // Waits for the next complete frame from `device` and copies it into `frame`. kTimeout once
    // the deadline has expired and the input waiting then is used up; kSystemError, recorded,
    // when the device fails or has gone away. Records nothing else: the caller decides what the
    // frame means.
    Outcome next(os::DeviceHandle device, std::uint8_t* frame, FrameWait& wait);

    // The caller does not take the frame next() returned last: it may have been noise with the
    // front of a frame, so its bytes after the first are looked at again.
    void pass_over_last();

  private:
    // A window that ends in CR LF starts at `at` and is complete.
    bool frame_at(std::size_t at) const;
    void drop(std::size_t count);
    // Reads at most `wanted` bytes: without waiting when `no_wait`, else until the deadline. False
    // with `outcome` set when the wait is over or the device failed.
    bool read_more(os::DeviceHandle device, std::size_t wanted, bool no_wait, FrameWait& wait,
                   Outcome& outcome);

    // Room for a frame, the 12 bytes looked at behind it and a frame handed back.
    static constexpr std::size_t kCapacity = 3 * kFrameSize;
    std::uint8_t held_[kCapacity] = {};
    std::size_t have_ = 0;
    bool have_last_ = false;  // last_ holds the frame next() returned last
    std::uint8_t last_[kFrameSize] = {};
};

// The port's one receiver. Use it only with the exchange lock held.
FrameReceiver& port_receiver();

}  // namespace orvex
