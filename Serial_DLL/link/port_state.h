// The line: the library's one serial port and everything that uses it. `Line` owns the device, the
// two locks, the frame receiver, the queue of frames the bus sent by itself and the frames kept for
// an exchange that gave way to a stop. Nothing else in the library holds port state.
//
// The exchange lock lets one exchange run at a time across host threads (see exchange.h, the only
// way to take it for sending and awaiting). The port lock guards each single use of the device that
// may happen beside an exchange: a write. Opening and closing the port take both, exchange lock
// first, so that no exchange waits on a device that is being closed. Both locks are re-entrant.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "bus_events.h"
#include "frame_queue.h"
#include "frame_receiver.h"
#include "last_result.h"
#include "pdo_streams.h"
#include "serial_device.h"

namespace orvex {

// Load and unload (see exports/library_lifecycle.cpp): both locks are made with no port open;
// unloading closes an open port and destroys the locks.
void PortState_Create();
void PortState_Destroy();

constexpr std::size_t kKeptFrames = 256;

// How a procedure's writes are confirmed: the adapter forwards the server's confirmations, or it
// does not and each write is read back. Learnt from the first confirmed write after an open.
enum class Confirmation { kUnknown, kForwarded, kReadBack };

struct Line {
    os::DeviceHandle device = os::kNoDevice;  // changed only with both locks held
    int baud = 0;                             // of the open device; likewise
    os::RecursiveLock exchange_lock;
    os::RecursiveLock port_lock;
    // The rest is used with the exchange lock held.
    FrameReceiver receiver;
    FrameQueue<kKeptFrames> unsolicited;  // what the bus said by itself
    FrameQueue<kKeptFrames> held;         // SDO answers owed to the exchange that gave way
    Confirmation confirmation = Confirmation::kUnknown;
    // Downloads per node that the one-frame commands sent without awaiting the server's answer
    // since the last confirmed write: an abort that follows may answer one of them.
    std::uint8_t unanswered_downloads[128] = {};
    // Arbitration of the exchange lock (exchange.cpp): stops waiting for it, other callers waiting
    // for it, and the exchange that gave way to a stop (0 when none) with the nodes whose answers
    // it keeps (bit n for node n; all when it reads the bus summaries of node 0).
    std::atomic<int> stops_waiting{0};
    std::atomic<int> others_waiting{0};
    std::atomic<std::uintptr_t> parked{0};
    std::uint32_t parked_nodes[4] = {};
    // What the drives said by themselves, decoded; under its own lock, so that a host may look at
    // it while another thread holds the line.
    os::RecursiveLock events_lock;
    BusEvents events;
    PdoStreams streams;  // under events_lock too
    // Stops sent to each node (quick stop, halt, disable): a procedure that started before the
    // latest one writes nothing more to the node (see StopGuard in exchange.h).
    std::atomic<std::uint32_t> stops[128] = {};
};

Line& line();

// Frames dropped from the full queue of frames the bus sent by itself. Lock-free.
std::uint32_t frames_dropped();

// A fault reset that succeeded: the node's emergencies are history.
void forget_emergencies(int node);

// Holds both locks in their order (exchange, then port): for opening and closing the port. Waits
// while an exchange has given way to a stop, so its device stays open until it ends.
class PortChangeGuard {
  public:
    PortChangeGuard();
    ~PortChangeGuard();
    PortChangeGuard(const PortChangeGuard&) = delete;
    PortChangeGuard& operator=(const PortChangeGuard&) = delete;
};

// The open device, kNoDevice when none. It changes only while both locks are held.
os::DeviceHandle port_device();
// The baud rate the open device was configured with; 0 when none is.
int port_baud();

// Opens and configures `path`, closing an open port first. Records the outcome.
bool Serial_OpenPath(const char* path, int baud);
void Serial_Close();

}  // namespace orvex
