// The adapter side of the serial line: 12-byte frames in, the bus's answers out. Pure code with
// no I/O; the caller supplies the elapsed time and moves the bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "drive_model.h"

namespace orvex::sim {

constexpr std::size_t kFrameSize = 12;
using Frame = std::array<uint8_t, kFrameSize>;

// COB-ID and eight data bytes, closed by CR LF.
Frame MakeFrame(uint16_t cob_id, const std::array<uint8_t, 8>& data);
uint16_t CobId(const Frame& frame);

// Splits a byte stream into frames. A frame is 12 bytes ending in CR LF; after garbage the reader
// drops bytes up to and including a CR LF inside the misaligned window, or one byte at a time.
class FrameReader {
  public:
    void Feed(const uint8_t* bytes, std::size_t count);
    bool Next(Frame* frame);
    std::size_t discarded() const { return discarded_; }

  private:
    std::vector<uint8_t> buffer_;
    std::size_t discarded_ = 0;
};

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
