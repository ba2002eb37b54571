#include "sdo_server.h"

#include <algorithm>
#include <cmath>
#include <initializer_list>

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
    fault_done_.assign(options_.faults_at.size(), false);
    RunTimedEvents();
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
            // A forwarding adapter passes them on; a filtering one keeps them to itself. What a
            // silenced drive says never reaches the bus.
            if (!options_.acks || silenced(d.node())) continue;
            out->push_back(codec::Emcy(d.node(), e.error_code, e.error_register));
        }
    }
}

bool BusServer::any_moving() const {
    return std::any_of(drives_.begin(), drives_.end(), [](const Drive& d) { return d.moving(); });
}

bool BusServer::silenced(int node) const {
    const double now_ms = elapsed_ * 1000.0 + 1e-6;
    for (const Silence& s : options_.silences) {
        if (s.node == node && now_ms >= s.from_ms && (s.until_ms < 0 || now_ms < s.until_ms))
            return true;
    }
    return false;
}

void BusServer::RunTimedEvents() {
    const double now_ms = elapsed_ * 1000.0 + 1e-6;
    for (std::size_t i = 0; i < options_.faults_at.size(); ++i) {
        const TimedFault& fault = options_.faults_at[i];
        if (fault_done_[i] || now_ms < fault.at_ms || fault.node > drive_count()) continue;
        fault_done_[i] = true;
        if (drive(fault.node).state() != DriveState::kFault) drive(fault.node).InjectFault(0);
    }
}

double BusServer::SecondsToNextTimedEvent() const {
    double next = -1.0;
    auto consider = [&](int at_ms) {
        const double left = at_ms / 1000.0 - elapsed_;
        if (left > 0.0 && (next < 0.0 || left < next)) next = left;
    };
    for (std::size_t i = 0; i < options_.faults_at.size(); ++i)
        if (!fault_done_[i]) consider(options_.faults_at[i].at_ms);
    for (const Silence& s : options_.silences) {
        consider(s.from_ms);
        if (s.until_ms >= 0) consider(s.until_ms);
    }
    return next;
}

std::vector<Frame> BusServer::Advance(double seconds) {
    std::vector<Frame> out;
    elapsed_ += seconds;
    RunTimedEvents();
    for (const Frame& boot_up : power_up_)
        if (!silenced(CobId(boot_up) - kBootUpBase)) out.push_back(boot_up);
    power_up_.clear();
    for (std::size_t slot = 0; slot < drives_.size(); ++slot) {
        Drive& d = drives_[slot];
        d.Advance(seconds);
        // Transmit PDOs carry the values the motion just reached; a silenced drive's are lost.
        for (const Frame& pdo : d.TransmitPdos(seconds))
            if (!silenced(d.node())) out.push_back(pdo);
        const uint16_t period_ms = d.heartbeat_ms();
        if (period_ms == 0 || silenced(d.node())) {
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

double BusServer::SecondsToNextPdo() const {
    double next = -1.0;
    for (const Drive& d : drives_) {
        const double left = d.SecondsToNextPdo();
        if (left >= 0.0 && (next < 0.0 || left < next)) next = left;
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
        if (silenced(d.node())) continue;  // cut off: it hears nothing
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
                    d.ResetPdoObjects();
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

namespace {

using Mode = SdoSession::Mode;
constexpr std::size_t kSegmentBytes = 7;
constexpr int kServerBlockSize = 127;
// A download without an announced size may grow to this before it is refused.
constexpr std::size_t kMaxUnannouncedBytes = 65536;

Frame SdoData(uint16_t id, std::initializer_list<uint8_t> bytes) {
    codec::Data data{};
    std::size_t i = 0;
    for (uint8_t b : bytes) data[i++] = b;
    return MakeFrame(id, data);
}

}  // namespace

SdoFaultKind BusServer::FaultOf(int node) const {
    for (const SdoFault& fault : options_.sdo_faults)
        if (fault.node == node) return fault.kind;
    return SdoFaultKind::kNone;
}

SdoFaultKind BusServer::FaultNow(int node) {
    SdoSession& session = sessions_[static_cast<std::size_t>(node)];
    ++session.segments;
    for (const SdoFault& fault : options_.sdo_faults) {
        if (fault.node != node || session.fault_done || fault.segment != session.segments) continue;
        if (fault.kind == SdoFaultKind::kCrcMismatch ||
            fault.kind == SdoFaultKind::kSizeNotIndicated)
            continue;
        session.fault_done = true;
        return fault.kind;
    }
    return SdoFaultKind::kNone;
}

void BusServer::HandleSdo(int node, const Frame& request, std::vector<Frame>* out) {
    if (node > drive_count()) return;  // absent node: nothing on the bus answers
    // A stopped node keeps off the bus but for NMT and heartbeats; a silenced one is off it.
    if (node > 0 && (drive(node).nmt_state() == NmtState::kStopped || silenced(node))) return;
    if (sessions_.size() <= static_cast<std::size_t>(drive_count()))
        sessions_.resize(static_cast<std::size_t>(drive_count()) + 1);
    const uint8_t command = codec::SdoCommand(request);
    const uint16_t index = codec::SdoIndex(request);
    const uint8_t subindex = codec::SdoSubindex(request);
    const uint16_t response_id = static_cast<uint16_t>(kSdoResponseBase + node);
    auto abort = [&](uint32_t code) {
        out->push_back(codec::SdoFrame(response_id, kSdoClientAbort, index, subindex, code));
    };

    if (node > 0) {
        SdoSession& session = sessions_[static_cast<std::size_t>(node)];
        // The client gave up a transfer: no answer.
        if (command == kSdoClientAbort) {
            session = SdoSession{};
            return;
        }
        uint32_t code = 0;
        if (session.mode == Mode::kSilent) {
            return;
        } else if (session.mode == Mode::kBlockDownload) {
            code = BlockDownloadSegment(node, request, out);  // segments name no command
        } else {
            switch (command >> 5) {
                case 0:
                    code = DownloadSegment(node, request, out);
                    break;
                case 1:
                    code = InitiateDownload(node, request, out);
                    break;
                case 2:
                    code = InitiateUpload(node, request, out);
                    break;
                case 3:
                    code = UploadSegment(node, request, out);
                    break;
                case 5:
                    code = BlockUpload(node, request, out);
                    break;
                case 6:
                    code = BlockDownload(node, request, out);
                    break;
                default:
                    code = kAbortCommandSpecifier;
                    break;
            }
        }
        if (code != 0) {
            // Within a transfer the abort names the transfer's object; segments name none.
            const bool in_transfer = session.mode != Mode::kIdle;
            out->push_back(codec::SdoFrame(response_id, kSdoClientAbort,
                                           in_transfer ? session.index : index,
                                           in_transfer ? session.subindex : subindex, code));
            session = SdoSession{};
        }
        return;
    }

    if (command == kSdoClientAbort) return;
    if ((command & 0xE0) == 0x40) {
        uint32_t data = 0;
        const uint32_t code = ReadBusObject(index, subindex, &data);
        if (code != 0) {
            abort(code);
        } else {
            out->push_back(codec::SdoFrame(response_id, codec::UploadResponseCommand(4), index,
                                           subindex, data));
        }
        return;
    }
    if ((command & 0xE0) == 0x20 && (command & 0x02) != 0) {
        uint32_t ignored = 0;
        const uint32_t code = ReadBusObject(index, subindex, &ignored);
        abort(code != 0 ? code : kAbortReadOnly);
        return;
    }
    abort(kAbortCommandSpecifier);
}

uint32_t BusServer::InitiateUpload(int node, const Frame& request, std::vector<Frame>* out) {
    SdoSession& session = sessions_[static_cast<std::size_t>(node)];
    session = SdoSession{};
    const uint16_t index = codec::SdoIndex(request);
    const uint8_t subindex = codec::SdoSubindex(request);
    const uint16_t id = static_cast<uint16_t>(kSdoResponseBase + node);
    std::vector<uint8_t> bytes;
    const uint32_t code = drive(node).ReadBytes(index, subindex, &bytes);
    if (code != 0) return code;
    if (!bytes.empty() && bytes.size() <= 4) {
        uint32_t data = 0;
        for (std::size_t i = 0; i < bytes.size(); ++i)
            data |= static_cast<uint32_t>(bytes[i]) << (8 * i);
        out->push_back(codec::SdoFrame(id,
                                       codec::UploadResponseCommand(static_cast<int>(bytes.size())),
                                       index, subindex, data));
        return 0;
    }
    const bool size_indicated = FaultOf(node) != SdoFaultKind::kSizeNotIndicated;
    session.mode = Mode::kUpload;
    session.index = index;
    session.subindex = subindex;
    session.data = std::move(bytes);
    out->push_back(
        codec::SdoFrame(id, size_indicated ? 0x41 : 0x40, index, subindex,
                        size_indicated ? static_cast<uint32_t>(session.data.size()) : 0));
    return 0;
}

uint32_t BusServer::UploadSegment(int node, const Frame& request, std::vector<Frame>* out) {
    SdoSession& session = sessions_[static_cast<std::size_t>(node)];
    const uint8_t command = codec::SdoCommand(request);
    if (session.mode != Mode::kUpload || (command & 0xEF) != 0x60) return kAbortCommandSpecifier;
    const int toggle = (command >> 4) & 1;
    if (toggle != session.toggle) return codec::kAbortToggleBit;
    const SdoFaultKind fault = FaultNow(node);
    if (fault == SdoFaultKind::kAbort) return codec::kAbortGeneral;
    if (fault == SdoFaultKind::kSilent) return 0;
    const std::size_t bytes = std::min(kSegmentBytes, session.data.size() - session.offset);
    const bool last = session.offset + bytes == session.data.size();
    codec::Data data{};
    data[0] = static_cast<uint8_t>(toggle << 4 | (kSegmentBytes - bytes) << 1 | (last ? 1 : 0));
    if (fault == SdoFaultKind::kWrongToggle) data[0] ^= 0x10;
    std::copy_n(session.data.begin() + static_cast<std::ptrdiff_t>(session.offset), bytes,
                data.begin() + 1);
    out->push_back(MakeFrame(static_cast<uint16_t>(kSdoResponseBase + node), data));
    session.offset += bytes;
    session.toggle ^= 1;
    if (last) session = SdoSession{};
    return 0;
}

uint32_t BusServer::InitiateDownload(int node, const Frame& request, std::vector<Frame>* out) {
    SdoSession& session = sessions_[static_cast<std::size_t>(node)];
    session = SdoSession{};
    const uint8_t command = codec::SdoCommand(request);
    const uint16_t index = codec::SdoIndex(request);
    const uint8_t subindex = codec::SdoSubindex(request);
    const uint32_t value = codec::SdoValue(request);
    const uint16_t id = static_cast<uint16_t>(kSdoResponseBase + node);
    if ((command & 0x02) != 0) {
        // Expedited: a filtering adapter keeps its confirmation to itself.
        const std::size_t announced = (command & 0x01) != 0 ? 4 - ((command >> 2) & 0x03) : 0;
        uint32_t code = 0;
        if (drive(node).HoldsBytes(index, subindex)) {
            // A string or DOMAIN takes the bytes the command names (all four when it names none).
            const std::size_t size = announced == 0 ? 4 : announced;
            code = drive(node).WriteBytes(
                index, subindex,
                std::vector<uint8_t>(request.begin() + 6,
                                     request.begin() + 6 + static_cast<std::ptrdiff_t>(size)),
                options_.strict_sizes);
        } else {
            code = drive(node).Write(index, subindex, value, announced, options_.strict_sizes);
        }
        if (code != 0) return code;
        if (options_.acks)
            out->push_back(codec::SdoFrame(id, codec::kSdoDownloadAck, index, subindex, 0));
        return 0;
    }
    session.size_indicated = (command & 0x01) != 0;
    session.announced = session.size_indicated ? value : 0;
    const uint32_t code =
        drive(node).CheckWrite(index, subindex, session.announced, options_.strict_sizes);
    if (code != 0) return code;
    session.mode = Mode::kDownload;
    session.index = index;
    session.subindex = subindex;
    // The segments to come need this answer, whatever the adapter forwards otherwise.
    out->push_back(codec::SdoFrame(id, codec::kSdoDownloadAck, index, subindex, 0));
    return 0;
}

uint32_t BusServer::DownloadSegment(int node, const Frame& request, std::vector<Frame>* out) {
    SdoSession& session = sessions_[static_cast<std::size_t>(node)];
    const uint8_t command = codec::SdoCommand(request);
    if (session.mode != Mode::kDownload) return kAbortCommandSpecifier;
    const int toggle = (command >> 4) & 1;
    if (toggle != session.toggle) return codec::kAbortToggleBit;
    const SdoFaultKind fault = FaultNow(node);
    if (fault == SdoFaultKind::kAbort) return codec::kAbortGeneral;
    if (fault == SdoFaultKind::kSilent) return 0;
    const std::size_t bytes = kSegmentBytes - ((command >> 1) & 0x07);
    session.data.insert(session.data.end(), request.begin() + 3,
                        request.begin() + 3 + static_cast<std::ptrdiff_t>(bytes));
    if (session.size_indicated && session.data.size() > session.announced)
        return codec::kAbortLengthTooHigh;
    if (session.data.size() > kMaxUnannouncedBytes) return codec::kAbortLengthTooHigh;
    const bool last = (command & 0x01) != 0;
    if (last) {
        if (session.size_indicated && session.data.size() != session.announced)
            return codec::kAbortLengthTooLow;
        const uint32_t code = drive(node).WriteBytes(session.index, session.subindex, session.data,
                                                     options_.strict_sizes);
        if (code != 0) return code;
    }
    uint8_t answer = static_cast<uint8_t>(0x20 | toggle << 4);
    if (fault == SdoFaultKind::kWrongToggle) answer ^= 0x10;
    out->push_back(SdoData(static_cast<uint16_t>(kSdoResponseBase + node), {answer}));
    session.toggle ^= 1;
    if (last) session = SdoSession{};
    return 0;
}

uint32_t BusServer::BlockUpload(int node, const Frame& request, std::vector<Frame>* out) {
    SdoSession& session = sessions_[static_cast<std::size_t>(node)];
    const uint8_t command = codec::SdoCommand(request);
    const uint16_t id = static_cast<uint16_t>(kSdoResponseBase + node);
    switch (command & 0x03) {
        case 0: {  // initiate
            session = SdoSession{};
            if (options_.refuse_block || (command & 0xFB) != 0xA0) return kAbortCommandSpecifier;
            const uint16_t index = codec::SdoIndex(request);
            const uint8_t subindex = codec::SdoSubindex(request);
            const int block_size = request[6];
            const int switch_threshold = request[7];
            if (block_size < 1 || block_size > kServerBlockSize) return codec::kAbortBlockSize;
            std::vector<uint8_t> bytes;
            const uint32_t code = drive(node).ReadBytes(index, subindex, &bytes);
            if (code != 0) return code;
            // Small objects go the plain way when the client allows it.
            if (switch_threshold != 0 && bytes.size() <= static_cast<std::size_t>(switch_threshold))
                return InitiateUpload(node, request, out);
            const bool size_indicated = FaultOf(node) != SdoFaultKind::kSizeNotIndicated;
            session.mode = Mode::kBlockUploadStart;
            session.index = index;
            session.subindex = subindex;
            session.data = std::move(bytes);
            session.crc = (command & 0x04) != 0;
            session.block_size = block_size;
            const uint8_t answer =
                static_cast<uint8_t>(0xC0 | (session.crc ? 0x04 : 0) | (size_indicated ? 0x02 : 0));
            out->push_back(
                codec::SdoFrame(id, answer, index, subindex,
                                size_indicated ? static_cast<uint32_t>(session.data.size()) : 0));
            return 0;
        }
        case 3:  // start
            if (session.mode != Mode::kBlockUploadStart) return kAbortCommandSpecifier;
            SendBlock(node, out);
            return 0;
        case 2: {  // a block's acknowledgement
            if (session.mode != Mode::kBlockUploadAck) return kAbortCommandSpecifier;
            const int taken = request[3];
            const int next_size = request[4];
            if (taken > session.sequence) return codec::kAbortSequence;
            if (next_size < 1 || next_size > kServerBlockSize) return codec::kAbortBlockSize;
            const bool all_taken = session.last_taken && taken == session.sequence;
            session.offset =
                std::min(session.data.size(),
                         session.offset + kSegmentBytes * static_cast<std::size_t>(taken));
            session.block_size = next_size;
            if (!all_taken) {
                SendBlock(node, out);
                return 0;
            }
            const std::size_t size = session.data.size();
            const std::size_t tail =
                size % kSegmentBytes == 0 ? (size == 0 ? 0 : kSegmentBytes) : size % kSegmentBytes;
            uint16_t crc = session.crc ? codec::BlockCrc(session.data.data(), size) : 0;
            if (FaultOf(node) == SdoFaultKind::kCrcMismatch) crc ^= 0x5A5A;
            out->push_back(
                SdoData(id, {static_cast<uint8_t>(0xC1 | (kSegmentBytes - tail) << 2),
                             static_cast<uint8_t>(crc & 0xFF), static_cast<uint8_t>(crc >> 8)}));
            session.mode = Mode::kBlockUploadEnd;
            return 0;
        }
        default:  // the client's end response: the transfer is complete
            if (session.mode != Mode::kBlockUploadEnd) return kAbortCommandSpecifier;
            session = SdoSession{};
            return 0;
    }
}

void BusServer::SendBlock(int node, std::vector<Frame>* out) {
    SdoSession& session = sessions_[static_cast<std::size_t>(node)];
    const uint16_t id = static_cast<uint16_t>(kSdoResponseBase + node);
    const std::size_t size = session.data.size();
    std::size_t at = session.offset;
    session.sequence = 0;
    session.last_taken = false;
    session.mode = Mode::kBlockUploadAck;
    while (session.sequence < session.block_size && !session.last_taken) {
        const std::size_t bytes = std::min(kSegmentBytes, size - at);
        const bool last = at + bytes >= size;
        ++session.sequence;
        session.last_taken = last;
        codec::Data data{};
        data[0] = static_cast<uint8_t>(session.sequence | (last ? 0x80 : 0));
        std::copy_n(session.data.begin() + static_cast<std::ptrdiff_t>(at), bytes,
                    data.begin() + 1);
        at += bytes;
        const SdoFaultKind fault = FaultNow(node);
        if (fault == SdoFaultKind::kSilent) return;  // the rest of the block never comes
        if (fault == SdoFaultKind::kAbort) {
            out->push_back(codec::SdoFrame(id, kSdoClientAbort, session.index, session.subindex,
                                           codec::kAbortGeneral));
            session = SdoSession{};
            return;
        }
        if (fault == SdoFaultKind::kLoseSegment) continue;  // lost on the bus
        out->push_back(MakeFrame(id, data));
    }
}

uint32_t BusServer::BlockDownload(int node, const Frame& request, std::vector<Frame>* out) {
    SdoSession& session = sessions_[static_cast<std::size_t>(node)];
    const uint8_t command = codec::SdoCommand(request);
    const uint16_t id = static_cast<uint16_t>(kSdoResponseBase + node);
    if ((command & 0x01) == 0) {  // initiate
        session = SdoSession{};
        if (options_.refuse_block || (command & 0xF9) != 0xC0) return kAbortCommandSpecifier;
        const uint16_t index = codec::SdoIndex(request);
        const uint8_t subindex = codec::SdoSubindex(request);
        session.size_indicated = (command & 0x02) != 0;
        session.announced = session.size_indicated ? codec::SdoValue(request) : 0;
        const uint32_t code =
            drive(node).CheckWrite(index, subindex, session.announced, options_.strict_sizes);
        if (code != 0) return code;
        session.mode = Mode::kBlockDownload;
        session.index = index;
        session.subindex = subindex;
        session.crc = (command & 0x04) != 0;
        session.block_size = kServerBlockSize;
        out->push_back(codec::SdoFrame(id, static_cast<uint8_t>(0xA0 | (session.crc ? 0x04 : 0)),
                                       index, subindex, static_cast<uint32_t>(kServerBlockSize)));
        return 0;
    }
    // The end: how many bytes of the last segment are data, and the CRC.
    if (session.mode != Mode::kBlockDownloadEnd || (command & 0xE3) != 0xC1)
        return kAbortCommandSpecifier;
    const std::size_t unused = (command >> 2) & 0x07;
    if (unused > session.data.size()) return codec::kAbortLengthTooLow;
    session.data.resize(session.data.size() - unused);
    const uint16_t crc = static_cast<uint16_t>(request[3] | request[4] << 8);
    if (session.crc && codec::BlockCrc(session.data.data(), session.data.size()) != crc)
        return codec::kAbortCrc;
    if (session.size_indicated && session.data.size() != session.announced)
        return codec::kAbortLengthMismatch;
    const uint32_t code = drive(node).WriteBytes(session.index, session.subindex, session.data,
                                                 options_.strict_sizes);
    if (code != 0) return code;
    out->push_back(SdoData(id, {0xA1}));
    session = SdoSession{};
    return 0;
}

uint32_t BusServer::BlockDownloadSegment(int node, const Frame& request, std::vector<Frame>* out) {
    SdoSession& session = sessions_[static_cast<std::size_t>(node)];
    const uint8_t command = codec::SdoCommand(request);
    const int sequence = command & 0x7F;
    const bool last = (command & 0x80) != 0;
    const SdoFaultKind fault = FaultNow(node);
    if (fault == SdoFaultKind::kAbort) return codec::kAbortGeneral;
    if (fault == SdoFaultKind::kSilent) session.mode = Mode::kSilent;
    if (fault == SdoFaultKind::kLoseSegment || fault == SdoFaultKind::kSilent) return 0;
    if (sequence == session.sequence + 1) {
        session.data.insert(session.data.end(), request.begin() + 3, request.begin() + 10);
        session.sequence = sequence;
        session.last_taken = last;
        const std::size_t limit =
            session.size_indicated ? session.announced + kSegmentBytes : kMaxUnannouncedBytes;
        if (session.data.size() > limit) return codec::kAbortLengthTooHigh;
    }
    if (!last && sequence < session.block_size) return 0;
    // The block is over: acknowledge what came in order; the client repeats the rest.
    out->push_back(SdoData(
        static_cast<uint16_t>(kSdoResponseBase + node),
        {0xA2, static_cast<uint8_t>(session.sequence), static_cast<uint8_t>(kServerBlockSize)}));
    session.block_size = kServerBlockSize;
    if (session.last_taken) session.mode = Mode::kBlockDownloadEnd;
    session.sequence = 0;
    return 0;
}

}  // namespace orvex::sim
