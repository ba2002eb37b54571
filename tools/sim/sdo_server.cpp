#include "sdo_server.h"

#include <algorithm>
#include <cmath>

namespace orvex::sim {

namespace {

constexpr uint16_t kNmtCobId = codec::kNmtId;
constexpr uint16_t kSdoRequestBase = codec::kSdoRequestBase;
constexpr uint16_t kSdoResponseBase = codec::kSdoResponseBase;
constexpr uint16_t kBootUpBase = codec::kHeartbeatBase;  // also the heartbeat
constexpr uint8_t kNmtStart = codec::kNmtStart;
constexpr uint8_t kNmtStop = codec::kNmtStop;
constexpr uint8_t kNmtEnterPreOperational = codec::kNmtEnterPreOperational;
constexpr uint8_t kNmtResetNode = codec::kNmtResetNode;
constexpr uint8_t kNmtResetCommunication = codec::kNmtResetCommunication;
constexpr uint8_t kSdoClientAbort = codec::kSdoAbort;
constexpr uint8_t kMaxNode = codec::kMaxNode;

}  // namespace

int DataLength(const Frame& frame) {
    const uint16_t id = CobId(frame);
    if (id == kNmtCobId) return 2;
    if (id >= kBootUpBase && id <= kBootUpBase + kMaxNode) return 1;
    return 8;
}

bool IsSdoAnswer(const Frame& frame) {
    const uint16_t id = CobId(frame);
    return id >= kSdoResponseBase && id <= kSdoResponseBase + kMaxNode;
}

BusServer::BusServer(const ServerOptions& options) : options_(options) {
    if (options_.strict_402) options_.strict_sizes = true;
    for (int node = 1; node <= options_.drive_count; ++node) {
        drives_.emplace_back(node, options_.strict_402);
        since_heartbeat_.push_back(0.0);
        PowerUp(drives_.size() - 1);
        // Each drive announces itself as it comes up, before anything else it says.
        if (options_.acks) power_up_.push_back(codec::BootUp(node));
    }
}

void BusServer::PowerUp(std::size_t slot) {
    Drive& d = drives_[slot];
    d = Drive(d.node(), options_.strict_402);
    d.set_heartbeat_ms(static_cast<uint16_t>(options_.heartbeat_ms));
    since_heartbeat_[slot] = 0.0;
    // The configured fault is a condition the drive finds at every power-up.
    if (d.node() == options_.fault_node) d.InjectFault(options_.fault_code);
    d.set_homing_fails(d.node() == options_.homing_error_node);
}

void BusServer::CollectEmergencies(std::vector<Frame>* out) {
    for (Drive& d : drives_) {
        for (const Emergency& e : d.TakeEmergencies()) {
            // A forwarding adapter passes them on; a filtering one keeps them to itself.
            if (!options_.acks) continue;
            out->push_back(codec::Emcy(d.node(), e.error_code, e.error_register));
        }
    }
}

bool BusServer::any_moving() const {
    return std::any_of(drives_.begin(), drives_.end(), [](const Drive& d) { return d.moving(); });
}

std::vector<Frame> BusServer::Advance(double seconds) {
    std::vector<Frame> out;
    out.swap(power_up_);
    for (std::size_t slot = 0; slot < drives_.size(); ++slot) {
        Drive& d = drives_[slot];
        d.Advance(seconds);
        const uint16_t period_ms = d.heartbeat_ms();
        if (period_ms == 0) {
            since_heartbeat_[slot] = 0.0;
            continue;
        }
        since_heartbeat_[slot] += seconds;
        const double period = period_ms / 1000.0;
        if (since_heartbeat_[slot] >= period - 1e-9) {
            // A host that stalled for several periods gets one heartbeat, not a burst.
            since_heartbeat_[slot] = std::fmod(since_heartbeat_[slot], period);
            out.push_back(codec::Heartbeat(d.node(), static_cast<uint8_t>(d.nmt_state())));
        }
    }
    CollectEmergencies(&out);
    return out;
}

double BusServer::SecondsToNextHeartbeat() const {
    double next = -1.0;
    for (std::size_t slot = 0; slot < drives_.size(); ++slot) {
        const uint16_t period_ms = drives_[slot].heartbeat_ms();
        if (period_ms == 0) continue;
        const double left = std::max(0.0, period_ms / 1000.0 - since_heartbeat_[slot]);
        if (next < 0.0 || left < next) next = left;
    }
    return next;
}

uint32_t BusServer::EnabledMask() const {
    uint32_t mask = 0;
    for (const Drive& d : drives_) {
        if (d.state() == DriveState::kOperationEnabled && d.node() <= 32) {
            mask |= 1u << (d.node() - 1);
        }
    }
    return mask;
}

uint32_t BusServer::ReachedMask() const {
    uint32_t mask = 0;
    for (const Drive& d : drives_) {
        if ((d.statusword() & kStatusTargetReached) != 0 && d.node() <= 32) {
            mask |= 1u << (d.node() - 1);
        }
    }
    return mask;
}

uint32_t BusServer::FaultMask() const {
    uint32_t mask = 0;
    for (const Drive& d : drives_) {
        if (d.state() == DriveState::kFault && d.node() <= 32) mask |= 1u << (d.node() - 1);
    }
    return mask;
}

std::vector<Frame> BusServer::Handle(const Frame& request) {
    std::vector<Frame> out;
    const uint16_t cob_id = CobId(request);
    if (cob_id == kNmtCobId) {
        HandleNmt(request, &out);
    } else if (cob_id >= kSdoRequestBase && cob_id <= kSdoRequestBase + kMaxNode) {
        HandleSdo(cob_id - kSdoRequestBase, request, &out);
    }
    // Any other identifier is bus traffic not addressed to a server here.
    CollectEmergencies(&out);
    return out;
}

void BusServer::HandleNmt(const Frame& request, std::vector<Frame>* out) {
    const uint8_t command = request[2];
    const uint8_t target = request[3];
    for (std::size_t slot = 0; slot < drives_.size(); ++slot) {
        Drive& d = drives_[slot];
        if (target != 0 && target != d.node()) continue;
        switch (command) {
            case kNmtStart:
                d.set_nmt_state(NmtState::kOperational);
                break;
            case kNmtStop:
                d.set_nmt_state(NmtState::kStopped);
                break;
            case kNmtEnterPreOperational:
                d.set_nmt_state(NmtState::kPreOperational);
                break;
            case kNmtResetNode:
            case kNmtResetCommunication:
                if (command == kNmtResetNode) {
                    PowerUp(slot);
                } else {
                    // Resetting communication keeps the drive's application state as it is.
                    d.set_heartbeat_ms(static_cast<uint16_t>(options_.heartbeat_ms));
                    d.set_nmt_state(NmtState::kPreOperational);
                    since_heartbeat_[slot] = 0.0;
                }
                if (options_.acks) {
                    out->push_back(codec::BootUp(d.node()));
                }
                break;
            default:
                break;
        }
    }
}

uint32_t BusServer::ReadBusObject(uint16_t index, uint8_t subindex, uint32_t* value) const {
    if (index < 0x3001 || index > 0x3003) return kAbortNoObject;
    if (subindex != 0) return kAbortNoSubindex;
    *value = index == 0x3001 ? EnabledMask() : index == 0x3002 ? ReachedMask() : FaultMask();
    return 0;
}

void BusServer::HandleSdo(int node, const Frame& request, std::vector<Frame>* out) {
    if (node > drive_count()) return;  // absent node: nothing on the bus answers
    // A stopped node keeps off the bus but for NMT and heartbeats.
    if (node > 0 && options_.strict_402 && drive(node).nmt_state() == NmtState::kStopped) return;
    const uint8_t command = codec::SdoCommand(request);
    const uint16_t index = codec::SdoIndex(request);
    const uint8_t subindex = codec::SdoSubindex(request);
    const uint32_t value = codec::SdoValue(request);
    const uint16_t response_id = static_cast<uint16_t>(kSdoResponseBase + node);
    auto abort = [&](uint32_t code) {
        out->push_back(codec::SdoFrame(response_id, kSdoClientAbort, index, subindex, code));
    };

    if (command == kSdoClientAbort) return;  // the client gave up a transfer: no answer

    if ((command & 0xE0) == 0x40) {
        uint32_t data = 0;
        std::size_t size = 4;
        const uint32_t code = node == 0 ? ReadBusObject(index, subindex, &data)
                                        : drive(node).Read(index, subindex, &data, &size);
        if (code != 0) {
            abort(code);
        } else {
            out->push_back(codec::SdoFrame(response_id,
                                           codec::UploadResponseCommand(static_cast<int>(size)),
                                           index, subindex, data));
        }
        return;
    }

    if ((command & 0xE0) == 0x20) {
        if ((command & 0x02) == 0) {  // segmented transfers are not offered
            abort(kAbortCommandSpecifier);
            return;
        }
        const std::size_t announced = (command & 0x01) != 0 ? 4 - ((command >> 2) & 0x03) : 0;
        uint32_t code = 0;
        if (node == 0) {
            uint32_t ignored = 0;
            code = ReadBusObject(index, subindex, &ignored);
            if (code == 0) code = kAbortReadOnly;
        } else {
            code = drive(node).Write(index, subindex, value, announced, options_.strict_sizes);
        }
        if (code != 0) {
            abort(code);
        } else if (options_.acks) {
            out->push_back(
                codec::SdoFrame(response_id, codec::kSdoDownloadAck, index, subindex, 0));
        }
        return;
    }

    abort(kAbortCommandSpecifier);
}

}  // namespace orvex::sim
