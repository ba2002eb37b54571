#include "port_state.h"

namespace orvex {
namespace {

Line g_line;

}  // namespace

Line& line() {
    return g_line;
}

std::uint32_t frames_dropped() {
    return g_line.unsolicited.dropped();
}

void forget_emergencies(int node) {
    os::LockGuard guard(g_line.events_lock);
    g_line.events.clear_emergencies(node & 0x7F);
}

void PortState_Create() {
    g_line.exchange_lock.create();
    g_line.port_lock.create();
    g_line.events_lock.create();
    g_line.device = os::kNoDevice;
}

void PortState_Destroy() {
    Serial_Close();
    g_line.events_lock.destroy();
    g_line.port_lock.destroy();
    g_line.exchange_lock.destroy();
}

PortChangeGuard::PortChangeGuard() {
    for (;;) {
        g_line.exchange_lock.lock();
        if (g_line.parked.load(std::memory_order_acquire) == 0) break;
        g_line.exchange_lock.unlock();
        os::sleep_ms(1);
    }
    g_line.port_lock.lock();
}

PortChangeGuard::~PortChangeGuard() {
    g_line.port_lock.unlock();
    g_line.exchange_lock.unlock();
}

os::DeviceHandle port_device() {
    return g_line.device;
}

int port_baud() {
    return g_line.baud;
}

void Serial_Close() {
    // Waits for an exchange in progress, so its wait never outlives the device it waits on.
    PortChangeGuard guard;
    const os::DeviceHandle device = g_line.device;
    g_line.device = os::kNoDevice;
    g_line.baud = 0;
    // Bytes of a frame begun on this device, and what its bus said, are no part of the next one's.
    g_line.receiver.forget();
    g_line.unsolicited.clear();
    g_line.held.clear();
    {
        os::LockGuard events(g_line.events_lock);
        g_line.events.reset(os::tick_ms());
        g_line.streams.clear();
    }
    g_line.confirmation = Confirmation::kUnknown;
    for (std::uint8_t& count : g_line.unanswered_downloads) count = 0;
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
    g_line.device = device;
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
    g_line.baud = baud;
    record(Outcome::kOk);
    return true;
}

}  // namespace orvex
