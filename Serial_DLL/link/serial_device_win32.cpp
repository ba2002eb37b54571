// Windows implementation of the OS layer: kernel32 communications functions, synchronous
// (non-overlapped) I/O, GetTickCount, CRITICAL_SECTION.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdio>
#include <new>

#include "serial_device.h"

namespace orvex::os {
namespace {

HANDLE handle_of(DeviceHandle device) {
    return reinterpret_cast<HANDLE>(device);
}

Status failed() {
    return Status{false, static_cast<int>(GetLastError())};
}

constexpr DWORD kPurgeReceive = PURGE_RXABORT | PURGE_RXCLEAR;
constexpr DWORD kPurgeBoth = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;

// Applies a "baud=... parity=... data=... stop=..." mode string to the device's current settings
// and holds RTS asserted while the port is open. The mode string has fewer than 50 characters, so
// its wide form fits a fixed buffer; the first conversion call measures it all the same.
Status apply_line_settings(HANDLE handle, const char* mode) {
    wchar_t wide[50];
    const int wide_length = MultiByteToWideChar(CP_ACP, 0, mode, -1, nullptr, 0);
    if (wide_length <= 0) return failed();
    if (wide_length > static_cast<int>(sizeof wide / sizeof wide[0]))
        return Status{false, static_cast<int>(ERROR_INSUFFICIENT_BUFFER)};
    if (MultiByteToWideChar(CP_ACP, 0, mode, -1, wide, wide_length) <= 0) return failed();
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handle, &dcb) || !BuildCommDCBW(wide, &dcb)) return failed();
    // RTS through the settings rather than EscapeCommFunction(SETRTS): it then holds across any
    // later SetCommState, and a line without modem signals (wine's pseudo-terminals) accepts the
    // setting where SETRTS fails.
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    return SetCommState(handle, &dcb) ? Status{} : failed();
}

// True when the input queue could be queried; `count` receives its length.
bool input_queue(HANDLE handle, std::size_t& count) {
    DWORD errors = 0;
    COMSTAT comstat{};
    if (!ClearCommError(handle, &errors, &comstat)) {
        count = 0;
        return false;
    }
    count = comstat.cbInQue;
    return true;
}

}  // namespace

bool port_path(int port, char* path, std::size_t capacity) {
    // The short form only reaches COM1-COM9; higher numbers exist only in the device namespace.
    const int n = static_cast<unsigned>(port) < 10
                      ? std::snprintf(path, capacity, "COM%d", port)
                      : std::snprintf(path, capacity, "\\\\.\\COM%d", port);
    return n > 0 && static_cast<std::size_t>(n) < capacity;
}

DeviceHandle open_device(const char* path, Status& status) {
    // No sharing: a second user of the port gets a failed open.
    const HANDLE handle =
        CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        status = failed();
        return kNoDevice;
    }
    status = Status{};
    return reinterpret_cast<DeviceHandle>(handle);
}

Status configure(DeviceHandle device, int baud) {
    const HANDLE handle = handle_of(device);
    char mode[50];
    std::snprintf(mode, sizeof mode, "baud=%d parity=%c data=%d stop=%d", baud, 'N', 8, 1);
    // All-zero time-outs: a read waits until the requested bytes have arrived.
    COMMTIMEOUTS timeouts{};
    const Status result =
        SetCommTimeouts(handle, &timeouts) ? apply_line_settings(handle, mode) : failed();
    PurgeComm(handle, kPurgeBoth);
    return result;
}

void close_device(DeviceHandle device) {
    CloseHandle(handle_of(device));
}

Status write_all(DeviceHandle device, const void* data, std::size_t length) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (length > 0) {
        const DWORD chunk = length > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<DWORD>(length);
        DWORD written = 0;
        if (!WriteFile(handle_of(device), bytes, chunk, &written, nullptr)) return failed();
        // A write time-out would complete with nothing written; with zero time-outs it cannot
        // happen, but a loop that never advances must not be possible either.
        if (written == 0) return Status{false, static_cast<int>(ERROR_WRITE_FAULT)};
        bytes += written;
        length -= written;
    }
    return Status{};
}

Status read_waiting(DeviceHandle device, void* data, std::size_t length, std::size_t& got) {
    // One byte per call: with zero time-outs a read blocks until its whole count has arrived, and
    // only the bytes already counted in the input queue are certain to be there.
    auto* bytes = static_cast<unsigned char*>(data);
    got = 0;
    std::size_t waiting = 0;
    if (!input_queue(handle_of(device), waiting)) return failed();
    if (waiting == 0) waiting = 1;  // told to read with nothing counted: wait for one byte
    if (length > waiting) length = waiting;
    while (got < length) {
        DWORD read = 0;
        if (!ReadFile(handle_of(device), bytes + got, 1, &read, nullptr)) return failed();
        if (read == 0) break;
        ++got;
    }
    return Status{};
}

std::size_t bytes_waiting(DeviceHandle device, Status& status) {
    std::size_t count = 0;
    status = input_queue(handle_of(device), count) ? Status{} : failed();
    return count;
}

Status wait_readable(DeviceHandle device, std::uint32_t timeout_ms, bool& ready) {
    // A synchronous handle offers no wait with a time limit (WaitCommEvent would block for good),
    // so the queue is polled. While the tick count shows less than 2 ms passed, the loop only
    // yields (Sleep(0)), so that a prompt answer is seen at once: that is until the count first
    // moves on, up to one timer period (about 16 ms) with the usual coarse counter, or 2 ms with a
    // 1 ms one. After that it sleeps a millisecond (in practice up to a timer period) between
    // polls, so that a long wait does not keep a core busy.
    constexpr std::uint32_t kYieldOnlyMs = 2;
    const HANDLE handle = handle_of(device);
    const DWORD start = GetTickCount();
    for (;;) {
        std::size_t count = 0;
        if (!input_queue(handle, count)) return failed();  // how a vanished device shows
        const DWORD elapsed = GetTickCount() - start;
        ready = count > 0;
        if (ready || elapsed >= timeout_ms) return Status{};
        Sleep(elapsed < kYieldOnlyMs ? 0 : 1);
    }
}

void purge(DeviceHandle device, Purge what) {
    PurgeComm(handle_of(device), what == Purge::kBoth ? kPurgeBoth : kPurgeReceive);
}

void purge_foreign_handle(void* handle) {
    PurgeComm(static_cast<HANDLE>(handle), kPurgeReceive);
}

bool environment_value(const char* name, char* value, std::size_t capacity) {
    // Returns the length without the NUL when the value fits, else the size it needs, 0 when the
    // variable is not set.
    const DWORD size = capacity > 0xFFFF ? 0xFFFF : static_cast<DWORD>(capacity);
    const DWORD length = GetEnvironmentVariableA(name, value, size);
    return length > 0 && length < size;
}

std::uint32_t tick_ms() {
    return GetTickCount();
}

void sleep_ms(std::uint32_t ms) {
    Sleep(ms);
}

static_assert(sizeof(CRITICAL_SECTION) <= 64, "lock storage too small");
static_assert(alignof(CRITICAL_SECTION) <= 16, "lock storage under-aligned");

static CRITICAL_SECTION* section_in(unsigned char* storage) {
    return std::launder(reinterpret_cast<CRITICAL_SECTION*>(storage));
}

void RecursiveLock::create() {
    InitializeCriticalSection(new (storage_) CRITICAL_SECTION);
}
void RecursiveLock::destroy() {
    DeleteCriticalSection(section_in(storage_));
}
void RecursiveLock::lock() {
    EnterCriticalSection(section_in(storage_));
}
void RecursiveLock::unlock() {
    LeaveCriticalSection(section_in(storage_));
}

}  // namespace orvex::os
