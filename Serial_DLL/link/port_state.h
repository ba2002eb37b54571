// PortState: the library's one serial port and the lock that guards it.
#pragma once

#include <cstddef>

#include "serial_device.h"

namespace orvex {

// Load and unload (see exports/library_lifecycle.cpp).
void PortState_Create();
void PortState_Destroy();

// The port lock: guards opening, closing, each write and each read. Re-entrant.
os::RecursiveLock& port_lock();

// The open device, kNoDevice when none. Read it with the port lock held.
os::DeviceHandle port_device();
// The baud rate the open device was configured with; 0 when none is.
int port_baud();

// Opens and configures `path`, closing an open port first. Records the outcome.
bool Serial_OpenPath(const char* path, int baud);
void Serial_Close();

// Writes one buffer to the port. Records the outcome (no port, system error, ok).
bool Serial_Write(const void* buffer, std::size_t length);

}  // namespace orvex
