// The receive side of the port: reads 12-byte frames and regains framing on CR LF after noise.
// The only place in the library that resynchronises. Bytes of a frame not yet complete when a wait
// ends stay with the receiver, so the next read starts where this one stopped.
#pragma once

#include <cstddef>
#include <cstdint>

#include "can_serial_frame.h"
#include "deadline.h"
#include "last_result.h"
#include "serial_device.h"

namespace orvex {

class FrameReceiver {
  public:
    // Drops input waiting in the device and any partial frame held here: whatever was received
    // before a request answers an earlier one.
    void discard_waiting(os::DeviceHandle device);

    // Drops a partial frame held here (the device's own input stays). Closing the port calls it.
    void forget() { have_ = 0; }

    // Waits for the next complete frame from `device` and copies it into `frame`. kTimeout once
    // the deadline has expired (input already waiting is still read then); kSystemError, recorded,
    // when the device fails or has gone away. Records nothing else: the caller decides what the
    // frame means.
    Outcome next(os::DeviceHandle device, std::uint8_t* frame, const Deadline& deadline);

  private:
    // Drops bytes from the front of a full window that is not a frame: up to a CR LF found inside
    // it, else one byte.
    void drop_noise();

    std::uint8_t window_[kFrameSize] = {};
    std::size_t have_ = 0;
};

// The port's one receiver. Use it only with the exchange lock held.
FrameReceiver& port_receiver();

}  // namespace orvex
