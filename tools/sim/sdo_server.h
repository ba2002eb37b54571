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

// Faults a drive's SDO server injects into every transfer of any size, at its `segment`th segment
// (1 = the first, counted over the whole transfer).
enum class SdoFaultKind {
    kNone,
    kWrongToggle,  // a segment answer with the toggle bit wrong
    kAbort,        // the server aborts (0x08000000 general error) instead of that segment
    kSilent,       // that segment, or its answer, never comes
    kLoseSegment,  // a block segment lost once on the bus (sent, or received, only the 2nd time)
    kCrcMismatch,  // a block upload ends with a wrong CRC
    kSizeNotIndicated  // uploads announce no size
};

struct SdoFault {
    int node = 0;
    SdoFaultKind kind = SdoFaultKind::kNone;
    int segment = 2;
};

// Things that happen to a drive at a time after power-up (ms since the simulator started).
struct TimedFault {
    int node = 0;
    int at_ms = 0;
};
struct Silence {
    int node = 0;
    int from_ms = 0;
    int until_ms = -1;  // -1: for good
};

struct ServerOptions {
    int drive_count = 2;
    // The adapter forwards everything on the bus: download confirmations, boot-ups and
    // emergencies; off for an adapter that passes on nothing but answers to requests.
    bool acks = true;
    bool strict_sizes = false;  // refuse downloads whose size differs from the object's
    bool strict_402 = false;    // drives follow CiA 402 to the letter; implies strict_sizes
    int heartbeat_ms = 0;       // power-on heartbeat producer time of every drive; 0 = none
    int fault_node = 0;         // drive that is in fault from power-up; 0 = none
    uint16_t fault_code = kFollowingError;
    int homing_error_node = 0;              // drive whose homing always fails; 0 = none
    bool refuse_block = false;              // answer block transfers with abort 0x05040001
    std::vector<SdoFault> sdo_faults = {};  // at most one per node
    // Timed events: a drive faults (following error) at its time; a silenced drive sends nothing
    // and answers nothing, as one cut off the bus, from its time until it returns.
    std::vector<TimedFault> faults_at = {};
    std::vector<Silence> silences = {};
};

// A transfer of any size under way with one node's server.
struct SdoSession {
    enum class Mode {
        kIdle,
        kUpload,            // segmented: the next upload segment request
        kDownload,          // segmented: the next download segment
        kBlockUploadStart,  // block upload initiated: waiting for the start
        kBlockUploadAck,    // a block sent: waiting for its acknowledgement
        kBlockUploadEnd,    // the end sent: waiting for the client's end response
        kBlockDownload,     // receiving a block's segments
        kBlockDownloadEnd,  // all segments taken: waiting for the end
        kSilent,            // a fault made the server fall silent until the client aborts
    };
    Mode mode = Mode::kIdle;
    uint16_t index = 0;
    uint8_t subindex = 0;
    std::vector<uint8_t> data;
    std::size_t offset = 0;     // bytes confirmed so far
    std::size_t announced = 0;  // download size the client announced
    bool size_indicated = false;
    int toggle = 0;
    bool crc = false;
    int block_size = 0;
    int sequence = 0;  // last segment of this block taken in order
    bool last_taken = false;
    int segments = 0;  // segments carried so far (the fault injection counts them)
    bool fault_done = false;
};

// Node 0 answers the bus-wide summaries; nodes 1..drive_count are drives; other nodes are absent.
class BusServer {
  public:
    explicit BusServer(const ServerOptions& options);

    // All frames the bus sends back for one request, in order (none for absent nodes).
    std::vector<Frame> Handle(const Frame& request);
    // Runs the drives for `seconds`; returns what they send unasked meanwhile (transmit PDOs,
    // heartbeats, emergencies), in order.
    std::vector<Frame> Advance(double seconds);

    int drive_count() const { return static_cast<int>(drives_.size()); }
    Drive& drive(int node) { return drives_.at(static_cast<std::size_t>(node - 1)); }
    const Drive& drive(int node) const { return drives_.at(static_cast<std::size_t>(node - 1)); }
    bool any_moving() const;
    // Seconds until the next heartbeat is due, or below 0 when no drive sends any.
    double SecondsToNextHeartbeat() const;
    // Seconds until the next transmit PDO is due, or below 0 when no drive sends any.
    double SecondsToNextPdo() const;
    // Seconds until the next timed fault or silence begins or ends, or below 0 when none is due.
    double SecondsToNextTimedEvent() const;
    // Whether drive `node` is cut off from the bus now.
    bool silenced(int node) const;

    // Bit n-1 set for drive n: operation enabled, target reached, in fault.
    uint32_t EnabledMask() const;
    uint32_t ReachedMask() const;
    uint32_t FaultMask() const;

  private:
    void HandleNmt(const Frame& request, std::vector<Frame>* out);
    void PowerUp(std::size_t slot);
    void CollectEmergencies(std::vector<Frame>* out);
    void HandleSdo(int node, const Frame& request, std::vector<Frame>* out);
    // Transfers of any size; each returns the abort code to answer with, or 0.
    uint32_t InitiateUpload(int node, const Frame& request, std::vector<Frame>* out);
    uint32_t UploadSegment(int node, const Frame& request, std::vector<Frame>* out);
    uint32_t InitiateDownload(int node, const Frame& request, std::vector<Frame>* out);
    uint32_t DownloadSegment(int node, const Frame& request, std::vector<Frame>* out);
    uint32_t BlockUpload(int node, const Frame& request, std::vector<Frame>* out);
    void SendBlock(int node, std::vector<Frame>* out);
    uint32_t BlockDownload(int node, const Frame& request, std::vector<Frame>* out);
    uint32_t BlockDownloadSegment(int node, const Frame& request, std::vector<Frame>* out);
    // The fault this node injects at the segment about to be carried, or kNone.
    SdoFaultKind FaultNow(int node);
    SdoFaultKind FaultOf(int node) const;
    uint32_t ReadBusObject(uint16_t index, uint8_t subindex, uint32_t* value) const;

    ServerOptions options_;
    std::vector<Drive> drives_;
    void RunTimedEvents();
    std::vector<double> since_heartbeat_;  // seconds since each drive's last heartbeat
    double elapsed_ = 0.0;                 // seconds since power-up
    std::vector<bool> fault_done_;         // by entry of options_.faults_at
    std::vector<Frame> power_up_;          // boot-ups not yet sent
    std::vector<SdoSession> sessions_;     // by node; node 0 has none
};

}  // namespace orvex::sim
