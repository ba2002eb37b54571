// The request/answer exchanges: the SDO upload behind the library's own queries and the raw
// exchange behind U_Transmit_Validation, with the waiting and reading steps they are built from.
#pragma once

#include <cstddef>
#include <cstdint>

#include "can_serial_frame.h"
#include "deadline.h"
#include "last_result.h"
#include "serial_device.h"
#include "time_limits.h"

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

// The steps exchanges are made of. Call them with the exchange lock held.

// Waits until the deadline has expired; for when there is nothing to wait on.
void wait_out(const Deadline& deadline);

// Result of waiting for more input.
enum class Wait { kMore, kLate, kGone };

// Blocks until input is waiting (`input_ready`) or the deadline expires. kLate once it has,
// kGone (with the system error recorded) when the device has gone away.
Wait wait_for_input(os::DeviceHandle device, const Deadline& deadline, bool& input_ready);

// Reads at most `wanted` of the bytes waiting, under the port lock. On failure the receive side is
// purged and the system error recorded.
Outcome read_some(os::DeviceHandle device, std::uint8_t* into, std::size_t wanted,
                  std::size_t& got);

}  // namespace orvex
