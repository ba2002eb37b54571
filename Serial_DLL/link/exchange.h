// The request/answer exchanges: the SDO upload behind the library's own queries and the raw
// exchange behind U_Transmit_Validation, and the read step they share with the frame receiver.
#pragma once

#include <cstddef>
#include <cstdint>

#include "can_serial_frame.h"
#include "last_result.h"
#include "serial_device.h"

namespace orvex {

// Sends an upload request with `command` for `entry` to `node` and waits for its own answer,
// skipping any other frame. On kOk `value` holds answer bytes 6-9. Records the outcome.
Outcome sdo_upload(int node, std::uint8_t command, ObjectEntry entry, std::uint32_t& value);

// Writes `request` (may be empty) after purging the receive side of the host's `purge_handle`
// (when not null), then waits for `answer_length` bytes and reads them into `answer`. The bytes
// stay queued until all of them have arrived. True when the answer was read (at once when none is
// wanted), whatever the write did; the recorded outcome tells the write's failure all the same.
bool raw_exchange(void* purge_handle, const void* request, std::size_t request_length, void* answer,
                  std::size_t answer_length);

// A step exchanges are made of. Call it with the exchange lock held.

// Reads at most `wanted` of the bytes waiting, under the port lock. On failure the receive side is
// purged and the system error recorded.
Outcome read_some(os::DeviceHandle device, std::uint8_t* into, std::size_t wanted,
                  std::size_t& got);

}  // namespace orvex
