// The adapter side of the serial line: 12-byte frames in, the bus's answers out. Pure code with
// no I/O; the caller supplies the elapsed time and moves the bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "codec.h"
#include "drive_model.h"

namespace orvex::sim {

using codec::CobId;
using codec::Frame;
using codec::FrameReader;
using codec::kFrameSize;
using codec::MakeFrame;

// Data bytes the frame has on the CAN bus (the serial frame always carries eight): NMT 2,
// boot-up and heartbeat 1, everything else 8.
int DataLength(const Frame& frame);
// An SDO response (0x580-0x5FF), the frames the fault injection counts.
bool IsSdoAnswer(const Frame& frame);

struct ServerOptions {
    int drive_count = 2;
    bool acks = false;          // download acknowledgements, boot-up and emergency messages
    bool strict_sizes = false;  // refuse downloads whose size differs from the object's
    bool strict_402 = false;    // drives follow CiA 402 to the letter; implies strict_sizes
    int heartbeat_ms = 0;       // power-on heartbeat producer time of every drive; 0 = none
    int fault_node = 0;         // drive that is in fault from power-up; 0 = none
    uint16_t fault_code = kFollowingError;
    int homing_error_node = 0;  // drive whose homing always fails; 0 = none
};

// Node 0 answers the bus-wide summaries; nodes 1..drive_count are drives; other nodes are absent.
class BusServer {
  public:
    explicit BusServer(const ServerOptions& options);

    // All frames the bus sends back for one request, in order (none for absent nodes).
    std::vector<Frame> Handle(const Frame& request);
    // Runs the drives for `seconds`; returns what they send unasked meanwhile (heartbeats,
    // emergencies), in order.
    std::vector<Frame> Advance(double seconds);

    int drive_count() const { return static_cast<int>(drives_.size()); }
    Drive& drive(int node) { return drives_.at(static_cast<std::size_t>(node - 1)); }
    const Drive& drive(int node) const { return drives_.at(static_cast<std::size_t>(node - 1)); }
    bool any_moving() const;
    // Seconds until the next heartbeat is due, or below 0 when no drive sends any.
    double SecondsToNextHeartbeat() const;

    // Bit n-1 set for drive n: operation enabled, target reached, in fault.
    uint32_t EnabledMask() const;
    uint32_t ReachedMask() const;
    uint32_t FaultMask() const;

  private:
    void HandleNmt(const Frame& request, std::vector<Frame>* out);
    void PowerUp(std::size_t slot);
    void CollectEmergencies(std::vector<Frame>* out);
    void HandleSdo(int node, const Frame& request, std::vector<Frame>* out);
    uint32_t ReadBusObject(uint16_t index, uint8_t subindex, uint32_t* value) const;

    ServerOptions options_;
    std::vector<Drive> drives_;
    std::vector<double> since_heartbeat_;  // seconds since each drive's last heartbeat
    std::vector<Frame> power_up_;          // boot-ups not yet sent
};

}  // namespace orvex::sim
