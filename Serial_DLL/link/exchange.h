// The request/answer exchange and the millisecond clock that times it.
#pragma once

#include <cstdint>

#include "can_serial_frame.h"
#include "last_result.h"
#include "time_limits.h"

namespace orvex {

// Load-time calibration: sleeps 1000 ms and measures how many ticks that took. A second call does
// nothing.
void TickClock_Calibrate();
// Milliseconds since `start` (a tick count), corrected by the calibration; safe across a wrap of
// the 32-bit counter.
int TickClock_ElapsedMs(std::uint32_t start);

// The exchange lock: one exchange at a time across host threads. Opening and closing the port take
// it too, so no exchange waits on a device that is being closed. Re-entrant.
void Exchange_Create();
void Exchange_Destroy();
class ExchangeGuard {
  public:
    ExchangeGuard();
    ~ExchangeGuard();
    ExchangeGuard(const ExchangeGuard&) = delete;
    ExchangeGuard& operator=(const ExchangeGuard&) = delete;
};

// Sends an upload request with `command` for `entry` to `node` and waits for its own answer,
// skipping any other frame. On kOk `value` holds answer bytes 6-9. Records the outcome.
Outcome sdo_upload(int node, std::uint8_t command, ObjectEntry entry, std::uint32_t& value);

}  // namespace orvex
