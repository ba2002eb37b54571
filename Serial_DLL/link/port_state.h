// PortState: the library's one serial port and the two locks that guard it.
//
// The exchange lock lets one request/answer exchange run at a time across host threads; it is held
// for the whole exchange, time limit included. The port lock guards each single use of the device:
// a write, a read, a purge. Opening and closing the port take both, exchange lock first, so that no
// exchange waits on a device that is being closed. Both locks are re-entrant.
#pragma once

#include <cstddef>

#include "last_result.h"
#include "serial_device.h"

namespace orvex {

// Load and unload (see exports/library_lifecycle.cpp): both locks are made with no port open;
// unloading closes an open port and destroys the locks.
void PortState_Create();
void PortState_Destroy();

// Holds the exchange lock: one exchange at a time.
class ExchangeGuard {
  public:
    ExchangeGuard();
    ~ExchangeGuard();
    ExchangeGuard(const ExchangeGuard&) = delete;
    ExchangeGuard& operator=(const ExchangeGuard&) = delete;
};

// Holds the port lock: one use of the device at a time.
class PortGuard {
  public:
    PortGuard();
    ~PortGuard();
    PortGuard(const PortGuard&) = delete;
    PortGuard& operator=(const PortGuard&) = delete;
};

// Holds both locks in their order (exchange, then port): for opening and closing the port.
class PortChangeGuard {
  public:
    PortChangeGuard() = default;
    PortChangeGuard(const PortChangeGuard&) = delete;
    PortChangeGuard& operator=(const PortChangeGuard&) = delete;

  private:
    ExchangeGuard exchange_;
    PortGuard port_;
};

// The open device, kNoDevice when none. It changes only while both locks are held, so it may be
// read with either one held and stays the same for as long as that lock is.
os::DeviceHandle port_device();
// The baud rate the open device was configured with; 0 when none is. Read like the device.
int port_baud();

// Opens and configures `path`, closing an open port first. Records the outcome.
bool Serial_OpenPath(const char* path, int baud);
void Serial_Close();

// Writes one buffer to the port under the port lock. Records the outcome and returns it: kOk,
// kNoPort or kSystemError.
Outcome Serial_Write(const void* buffer, std::size_t length);

}  // namespace orvex
