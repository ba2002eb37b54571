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

struct ServerOptions {
    int drive_count = 2;
    bool acks = false;          // download acknowledgements and boot-up messages
    bool strict_sizes = false;  // refuse downloads whose size differs from the object's
};

// Node 0 answers the bus-wide summaries; nodes 1..drive_count are drives; other nodes are absent.
class BusServer {
  public:
    explicit BusServer(const ServerOptions& options);

    // All frames the bus sends back for one request, in order (none for absent nodes).
    std::vector<Frame> Handle(const Frame& request);
    void Advance(double seconds);

    int drive_count() const { return static_cast<int>(drives_.size()); }
    Drive& drive(int node) { return drives_.at(static_cast<std::size_t>(node - 1)); }
    const Drive& drive(int node) const { return drives_.at(static_cast<std::size_t>(node - 1)); }
    bool any_moving() const;

    // Bit n-1 set for drive n: operation enabled, target reached, in fault.
    uint32_t EnabledMask() const;
    uint32_t ReachedMask() const;
    uint32_t FaultMask() const;

  private:
    void HandleNmt(const Frame& request, std::vector<Frame>* out);
    void HandleSdo(int node, const Frame& request, std::vector<Frame>* out);
    uint32_t ReadBusObject(uint16_t index, uint8_t subindex, uint32_t* value) const;

    ServerOptions options_;
    std::vector<Drive> drives_;
};

}  // namespace orvex::sim
