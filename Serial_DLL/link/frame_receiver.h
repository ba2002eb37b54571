// The receive side of the port: reads 12-byte frames and regains framing on CR LF after noise.
// The only place in the library that resynchronises. Bytes of a frame not yet complete when a wait
// ends stay with the receiver, so the next read starts where this one stopped.
#pragma once

#include <cstddef>
#include <cstdint>

#include "can_serial_frame.h"
#include "last_result.h"
#include "serial_device.h"

namespace orvex {

class FrameReceiver {
  public:
    // Drops input waiting in the device and any partial frame held here: whatever was received
    // before a request answers an earlier one.
    void discard_waiting(os::DeviceHandle device);

    // Waits for the next complete frame from `device` and copies it into `frame`. Late (kTimeout)
    // once strictly more than `limit_ms` has passed since the tick count `start`; a limit below 0
    // only takes what is already waiting. kSystemError when the device fails or hangs up
    // (recorded). Records nothing else: the caller decides what the frame means.
    Outcome next(os::DeviceHandle device, std::uint8_t* frame, std::uint32_t start, int limit_ms);

  private:
    // Drops bytes from the front of a full window that is not a frame: up to a CR LF found inside
    // it, else one byte.
    void drop_noise();

    std::uint8_t window_[kFrameSize] = {};
    std::size_t have_ = 0;
    os::DeviceHandle device_ = os::kNoDevice;  // the device the held bytes came from
};

// The port's one receiver. Use it only with the exchange lock held.
FrameReceiver& port_receiver();

}  // namespace orvex
