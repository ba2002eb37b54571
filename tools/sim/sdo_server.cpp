#include "sdo_server.h"

#include <algorithm>

namespace orvex::sim {

namespace {

constexpr uint16_t kNmtCobId = codec::kNmtId;
constexpr uint16_t kSdoRequestBase = codec::kSdoRequestBase;
constexpr uint16_t kSdoResponseBase = codec::kSdoResponseBase;
constexpr uint16_t kBootUpBase = codec::kHeartbeatBase;
constexpr uint8_t kNmtResetNode = codec::kNmtResetNode;
constexpr uint8_t kNmtResetCommunication = codec::kNmtResetCommunication;
constexpr uint8_t kSdoClientAbort = codec::kSdoAbort;
constexpr uint8_t kMaxNode = codec::kMaxNode;

}  // namespace

BusServer::BusServer(const ServerOptions& options) : options_(options) {
    for (int node = 1; node <= options.drive_count; ++node) drives_.emplace_back(node);
}

bool BusServer::any_moving() const {
    return std::any_of(drives_.begin(), drives_.end(), [](const Drive& d) { return d.moving(); });
}

void BusServer::Advance(double seconds) {
    for (Drive& d : drives_) d.Advance(seconds);
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
    return out;
}

void BusServer::HandleNmt(const Frame& request, std::vector<Frame>* out) {
    const uint8_t command = request[2];
    const uint8_t target = request[3];
    if (command != kNmtResetCommunication && command != kNmtResetNode) return;
    for (Drive& d : drives_) {
        if (target != 0 && target != d.node()) continue;
        // Resetting communication leaves the drive's application state as it is.
        if (command == kNmtResetNode) d = Drive(d.node());
        if (options_.acks) {
            out->push_back(MakeFrame(static_cast<uint16_t>(kBootUpBase + d.node()), {}));
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
    const uint8_t command = request[2];
    const uint16_t index = static_cast<uint16_t>(request[3] | (request[4] << 8));
    const uint8_t subindex = request[5];
    const uint32_t value =
        static_cast<uint32_t>(request[6]) | (static_cast<uint32_t>(request[7]) << 8) |
        (static_cast<uint32_t>(request[8]) << 16) | (static_cast<uint32_t>(request[9]) << 24);
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
