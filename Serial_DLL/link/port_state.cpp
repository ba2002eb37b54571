#include "port_state.h"

#include <atomic>

#include "exchange.h"
#include "last_result.h"
#include "orvex.h"

namespace orvex {
namespace {

struct PortState {
    // Atomic so that a command can see "no port" without taking the lock; changed only under it.
    std::atomic<os::DeviceHandle> device{os::kNoDevice};
    std::atomic<int> baud{0};
    os::RecursiveLock lock;
};

PortState g_port;

}  // namespace

void PortState_Create() {
    g_port.lock.create();
    g_port.device = os::kNoDevice;
}

void PortState_Destroy() {
    Serial_Close();
    g_port.lock.destroy();
}

os::RecursiveLock& port_lock() {
    return g_port.lock;
}

os::DeviceHandle port_device() {
    return g_port.device;
}

int port_baud() {
    return g_port.baud;
}

void Serial_Close() {
    // Waits for a query in progress, so its wait never outlives the device it waits on.
    ExchangeGuard exchange;
    os::LockGuard guard(g_port.lock);
    const os::DeviceHandle device = g_port.device.exchange(os::kNoDevice);
    g_port.baud = 0;
    if (device != os::kNoDevice) os::close_device(device);
}

bool Serial_OpenPath(const char* path, int baud) {
    ExchangeGuard exchange;
    os::LockGuard guard(g_port.lock);
    Serial_Close();
    os::Status status;
    const os::DeviceHandle device = os::open_device(path, status);
    if (device == os::kNoDevice) {
        record_system_error(status.error);
        return false;
    }
    g_port.device = device;
    // A rejected setting leaves the device open: the host closes it with Serial_ClosePort.
    if (baud <= 0) {
        record(Outcome::kBadArgument);
        return false;
    }
    status = os::configure(device, baud);
    if (!status.ok) {
        record_system_error(status.error);
        return false;
    }
    g_port.baud = baud;
    record(Outcome::kOk);
    return true;
}

bool Serial_Write(const void* buffer, std::size_t length) {
    if (g_port.device == os::kNoDevice) {
        record(Outcome::kNoPort);
        return false;
    }
    os::LockGuard guard(g_port.lock);
    // Checked again under the lock: another thread may have closed the port meanwhile.
    if (g_port.device == os::kNoDevice) {
        record(Outcome::kNoPort);
        return false;
    }
    const os::DeviceHandle device = g_port.device;
    const os::Status status = os::write_all(device, buffer, length);
    if (!status.ok) {
        os::purge(device, os::Purge::kReceive);
        record_system_error(status.error);
        return false;
    }
    record(Outcome::kOk);
    return true;
}

}  // namespace orvex

using orvex::Outcome;
using orvex::record;

extern "C" {

int Serial_OpenPort(int port, int baud) {
    char path[64];
    if (!orvex::os::port_path(port, path, sizeof path)) {
        record(Outcome::kBadArgument);
        return 0;
    }
    return orvex::Serial_OpenPath(path, baud) ? 1 : 0;
}

int Serial_OpenDevice(const char* path, int baud) {
    if (path == nullptr) {
        record(Outcome::kBadArgument);
        return 0;
    }
    return orvex::Serial_OpenPath(path, baud) ? 1 : 0;
}

int Serial_ClosePort(void) {
    orvex::Serial_Close();
    record(Outcome::kOk);
    return 0;
}

int U_Transmit(const void* buffer, int length) {
    if (buffer == nullptr || length <= 0) {
        record(Outcome::kBadArgument);
        return 0;
    }
    return orvex::Serial_Write(buffer, static_cast<std::size_t>(length)) ? 1 : 0;
}

}  // extern "C"
