#include "port_state.h"

#include "frame_receiver.h"

namespace orvex {
namespace {

struct PortState {
    os::DeviceHandle device = os::kNoDevice;  // changed only with both locks held
    int baud = 0;                             // of the open device; likewise
    os::RecursiveLock exchange_lock;
    os::RecursiveLock port_lock;
};

PortState g_port;

}  // namespace

void PortState_Create() {
    g_port.exchange_lock.create();
    g_port.port_lock.create();
    g_port.device = os::kNoDevice;
}

void PortState_Destroy() {
    Serial_Close();
    g_port.port_lock.destroy();
    g_port.exchange_lock.destroy();
}

ExchangeGuard::ExchangeGuard() {
    g_port.exchange_lock.lock();
}
ExchangeGuard::~ExchangeGuard() {
    g_port.exchange_lock.unlock();
}

PortGuard::PortGuard() {
    g_port.port_lock.lock();
}
PortGuard::~PortGuard() {
    g_port.port_lock.unlock();
}

os::DeviceHandle port_device() {
    return g_port.device;
}

int port_baud() {
    return g_port.baud;
}

void Serial_Close() {
    // Waits for an exchange in progress, so its wait never outlives the device it waits on.
    PortChangeGuard guard;
    const os::DeviceHandle device = g_port.device;
    g_port.device = os::kNoDevice;
    g_port.baud = 0;
    // Bytes of a frame begun on this device are no part of the next one's input.
    port_receiver().forget();
    if (device != os::kNoDevice) os::close_device(device);
}

bool Serial_OpenPath(const char* path, int baud) {
    PortChangeGuard guard;
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

Outcome Serial_Write(const void* buffer, std::size_t length) {
    PortGuard guard;
    const os::DeviceHandle device = g_port.device;
    if (device == os::kNoDevice) {
        record(Outcome::kNoPort);
        return Outcome::kNoPort;
    }
    const os::Status status = os::write_all(device, buffer, length);
    if (!status.ok) {
        os::purge(device, os::Purge::kReceive);
        record_system_error(status.error);
        return Outcome::kSystemError;
    }
    record(Outcome::kOk);
    return Outcome::kOk;
}

}  // namespace orvex
