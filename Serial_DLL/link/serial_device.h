// The operating-system layer: the only code in the library that touches the OS. One interface, one
// implementation per platform (serial_device_posix.cpp with its Linux extras in
// serial_device_linux.cpp, serial_device_win32.cpp), chosen at build time. Everything above it is
// portable and never includes a system header.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orvex::os {

// An open device: a file descriptor on POSIX, a HANDLE on Windows. kNoDevice means "none".
using DeviceHandle = std::intptr_t;
constexpr DeviceHandle kNoDevice = -1;

// Outcome of an OS call that can fail; `error` is errno / GetLastError() when it did.
struct Status {
    bool ok = true;
    int error = 0;
};

// Path of the serial port with the given number ("COM3" / "\\.\COM12" on Windows, "/dev/ttyS2"
// for port 3 elsewhere). Returns false when the platform has no device for that number.
bool port_path(int port, char* path, std::size_t capacity);

// Opens the device for exclusive read/write use. kNoDevice on failure with `status` set.
DeviceHandle open_device(const char* path, Status& status);

// Line settings: raw 8N1 at `baud`, no flow control, RTS raised, reads that wait for data, then
// both directions purged. The device stays open when this fails.
Status configure(DeviceHandle device, int baud);

void close_device(DeviceHandle device);

// Writes the whole buffer, continuing after partial writes; fails on the first OS error.
Status write_all(DeviceHandle device, const void* data, std::size_t length);

// Reads at least one and at most `length` bytes of those waiting; `got` receives the count. Call it
// only when input is waiting: otherwise it blocks until some arrives.
Status read_waiting(DeviceHandle device, void* data, std::size_t length, std::size_t& got);

// Bytes waiting in the input queue; 0 when the query fails (with `status` set).
std::size_t bytes_waiting(DeviceHandle device, Status& status);

// Blocks until input is waiting (`ready`) or `timeout_ms` has passed, without spinning. Fails when
// the device reports a hang-up or error: it is gone.
Status wait_readable(DeviceHandle device, std::uint32_t timeout_ms, bool& ready);

enum class Purge { kReceive, kBoth };
void purge(DeviceHandle device, Purge what);

// Flushes the receive side of a handle given by the host (U_Transmit_Validation); errors ignored.
void purge_foreign_handle(void* handle);

// Copies the value of the environment variable `name` into `value`, NUL-terminated. False when it
// is not set (or empty, which Windows does not tell apart) or does not fit in `capacity`.
bool environment_value(const char* name, char* value, std::size_t capacity);

// A 32-bit millisecond counter; differences are taken modulo 2^32.
std::uint32_t tick_ms();
void sleep_ms(std::uint32_t ms);

// A re-entrant lock with explicit set-up and tear-down, so the load and unload order decides its
// lifetime (no static constructors or destructors involved).
class RecursiveLock {
  public:
    void create();
    void destroy();
    void lock();
    void unlock();

  private:
    alignas(16) unsigned char storage_[64];
};

class LockGuard {
  public:
    explicit LockGuard(RecursiveLock& lock) : lock_(lock) { lock_.lock(); }
    ~LockGuard() { lock_.unlock(); }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

  private:
    RecursiveLock& lock_;
};

}  // namespace orvex::os
