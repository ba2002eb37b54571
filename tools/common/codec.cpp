#include "codec.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace orvex::codec {
namespace {

constexpr std::uint8_t kCr = 0x0D;
constexpr std::uint8_t kLf = 0x0A;

std::uint16_t NodeId(std::uint16_t base, int node) {
    return static_cast<std::uint16_t>(base + (static_cast<unsigned>(node) & 0xFFu));
}

bool Between(std::uint16_t id, std::uint16_t first, std::uint16_t last) {
    return id >= first && id <= last;
}

SdoService RequestService(std::uint8_t command) {
    switch (command >> 5) {
        case 1:
            return SdoService::kDownloadRequest;
        case 2:
            return SdoService::kUploadRequest;
        case 4:
            return SdoService::kAbort;
        default:
            return SdoService::kOther;
    }
}

SdoService ResponseService(std::uint8_t command) {
    switch (command >> 5) {
        case 2:
            return SdoService::kUploadResponse;
        case 3:
            return SdoService::kDownloadAck;
        case 4:
            return SdoService::kAbort;
        default:
            return SdoService::kOther;
    }
}

}  // namespace

std::uint8_t DownloadCommand(int size) {
    return size >= 1 && size <= 3 ? static_cast<std::uint8_t>(0x23 | ((4 - size) << 2)) : 0x23;
}

std::uint8_t UploadResponseCommand(int size) {
    return size >= 1 && size <= 3 ? static_cast<std::uint8_t>(0x43 | ((4 - size) << 2)) : 0x43;
}

int ExpeditedSize(std::uint8_t command) {
    // Bit 1: expedited, bit 0: size indicated, bits 2-3: bytes that hold no data.
    if ((command & 0x03) != 0x03) return 0;
    return 4 - ((command >> 2) & 0x03);
}

Frame MakeFrame(std::uint16_t cob_id, const Data& data) {
    Frame frame{};
    frame[0] = static_cast<std::uint8_t>(cob_id >> 8);
    frame[1] = static_cast<std::uint8_t>(cob_id & 0xFF);
    std::copy(data.begin(), data.end(), frame.begin() + 2);
    frame[10] = kCr;
    frame[11] = kLf;
    return frame;
}

Frame SdoFrame(std::uint16_t cob_id, std::uint8_t command, std::uint16_t index,
               std::uint8_t subindex, std::uint32_t value) {
    return MakeFrame(
        cob_id,
        {command, static_cast<std::uint8_t>(index & 0xFF), static_cast<std::uint8_t>(index >> 8),
         subindex, static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
         static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)});
}

Frame UploadRequest(int node, std::uint16_t index, std::uint8_t subindex) {
    return SdoFrame(NodeId(kSdoRequestBase, node), kSdoUploadRequest, index, subindex, 0);
}

Frame Download(int node, std::uint16_t index, std::uint8_t subindex, std::uint32_t value,
               int size) {
    return SdoFrame(NodeId(kSdoRequestBase, node), DownloadCommand(size), index, subindex, value);
}

Frame UploadResponse(int node, std::uint16_t index, std::uint8_t subindex, std::uint32_t value,
                     int size) {
    return SdoFrame(NodeId(kSdoResponseBase, node), UploadResponseCommand(size), index, subindex,
                    value);
}

Frame DownloadAck(int node, std::uint16_t index, std::uint8_t subindex) {
    return SdoFrame(NodeId(kSdoResponseBase, node), kSdoDownloadAck, index, subindex, 0);
}

Frame SdoAbortFrame(int node, std::uint16_t index, std::uint8_t subindex, std::uint32_t code) {
    return SdoFrame(NodeId(kSdoResponseBase, node), kSdoAbort, index, subindex, code);
}

Frame NmtCommand(std::uint8_t command, int node) {
    return MakeFrame(kNmtId, {command, static_cast<std::uint8_t>(node & 0xFF)});
}

Frame Heartbeat(int node, std::uint8_t state) {
    return MakeFrame(NodeId(kHeartbeatBase, node), {state});
}

Frame BootUp(int node) {
    return Heartbeat(node, kNmtBootUp);
}

Frame Emcy(int node, std::uint16_t error_code, std::uint8_t error_register) {
    return MakeFrame(NodeId(kEmcyBase, node),
                     {static_cast<std::uint8_t>(error_code & 0xFF),
                      static_cast<std::uint8_t>(error_code >> 8), error_register});
}

std::uint16_t CobId(const Frame& frame) {
    return static_cast<std::uint16_t>((frame[0] << 8) | frame[1]);
}

bool HasTerminator(const Frame& frame) {
    return frame[10] == kCr && frame[11] == kLf;
}

std::uint8_t SdoCommand(const Frame& frame) {
    return frame[2];
}

std::uint16_t SdoIndex(const Frame& frame) {
    return static_cast<std::uint16_t>(frame[3] | (frame[4] << 8));
}

std::uint8_t SdoSubindex(const Frame& frame) {
    return frame[5];
}

std::uint32_t SdoValue(const Frame& frame) {
    return static_cast<std::uint32_t>(frame[6]) | (static_cast<std::uint32_t>(frame[7]) << 8) |
           (static_cast<std::uint32_t>(frame[8]) << 16) |
           (static_cast<std::uint32_t>(frame[9]) << 24);
}

std::uint16_t EmcyErrorCode(const Frame& frame) {
    return static_cast<std::uint16_t>(frame[2] | (frame[3] << 8));
}

std::uint8_t EmcyErrorRegister(const Frame& frame) {
    return frame[4];
}

FrameInfo Classify(const Frame& frame) {
    const std::uint16_t id = CobId(frame);
    const int node = id & 0x7F;
    FrameInfo info;
    if (id == kNmtId) {
        info.kind = FrameKind::kNmt;
    } else if (id == kSyncId) {
        info.kind = FrameKind::kSync;
    } else if (Between(id, kEmcyBase + 1, kEmcyBase + kMaxNode)) {
        info = {FrameKind::kEmcy, node};
    } else if (id == kTimeId) {
        info.kind = FrameKind::kTime;
    } else if (Between(id, 0x181, 0x57F) && node != 0) {
        info = {FrameKind::kPdo, node};
    } else if (Between(id, kSdoResponseBase, kSdoResponseBase + kMaxNode)) {
        // Node 0 is the adapter's own bus summary server here, so 0x580 counts as SDO too.
        info = {FrameKind::kSdoResponse, node, ResponseService(SdoCommand(frame))};
    } else if (Between(id, kSdoRequestBase, kSdoRequestBase + kMaxNode)) {
        info = {FrameKind::kSdoRequest, node, RequestService(SdoCommand(frame))};
    } else if (Between(id, kHeartbeatBase + 1, kHeartbeatBase + kMaxNode)) {
        info = {frame[2] == kNmtBootUp ? FrameKind::kBootUp : FrameKind::kHeartbeat, node};
    }
    return info;
}

const char* KindName(FrameKind kind) {
    switch (kind) {
        case FrameKind::kNmt:
            return "nmt";
        case FrameKind::kSync:
            return "sync";
        case FrameKind::kEmcy:
            return "emcy";
        case FrameKind::kTime:
            return "time";
        case FrameKind::kPdo:
            return "pdo";
        case FrameKind::kSdoRequest:
            return "sdo-request";
        case FrameKind::kSdoResponse:
            return "sdo-response";
        case FrameKind::kBootUp:
            return "boot-up";
        case FrameKind::kHeartbeat:
            return "heartbeat";
        case FrameKind::kOther:
            break;
    }
    return "other";
}

std::string Hex(const std::uint8_t* bytes, std::size_t count) {
    std::string text;
    text.reserve(count * 3);
    char byte[4];
    for (std::size_t i = 0; i < count; ++i) {
        std::snprintf(byte, sizeof byte, i == 0 ? "%02X" : " %02X", bytes[i]);
        text += byte;
    }
    return text;
}

std::string Hex(const Frame& frame) {
    return Hex(frame.data(), frame.size());
}

std::string HexNumber(std::uint32_t value, int bytes) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", bytes * 2, static_cast<unsigned>(value));
    return text;
}

bool FrameReader::FrameAt(std::size_t at) const {
    return at + kFrameSize <= have_ && held_[at + 10] == kCr && held_[at + 11] == kLf;
}

void FrameReader::Drop(std::size_t count) {
    std::memmove(held_.data(), held_.data() + count, have_ - count);
    have_ -= count;
}

bool FrameReader::Decide(bool input_paused, Frame* frame) {
    if (have_ < kFrameSize) return false;
    if (aligned_ && FrameAt(0)) {
        std::memcpy(frame->data(), held_.data(), kFrameSize);
        Drop(kFrameSize);
        return true;
    }
    aligned_ = false;
    std::size_t first = 0;
    while (first + kFrameSize <= have_ && !FrameAt(first)) ++first;
    if (!FrameAt(first)) {
        // The last 11 bytes may still begin a frame.
        discarded_ += have_ - (kFrameSize - 1);
        Drop(have_ - (kFrameSize - 1));
        return false;
    }
    discarded_ += first;
    Drop(first);
    if (have_ < held_.size() && !input_paused) return false;
    if (have_ >= 2 * kFrameSize && !FrameAt(kFrameSize)) {
        for (std::size_t later = 1; later < kFrameSize; ++later) {
            if (FrameAt(later) && FrameAt(later + kFrameSize)) {
                discarded_ += later;
                Drop(later);
                break;
            }
        }
    }
    std::memcpy(frame->data(), held_.data(), kFrameSize);
    Drop(kFrameSize);
    aligned_ = true;
    return true;
}

bool FrameReader::Push(std::uint8_t byte, Frame* frame) {
    held_[have_++] = byte;
    return Decide(false, frame);
}

bool FrameReader::Flush(Frame* frame) {
    return Decide(true, frame);
}

void FrameReader::Reset() {
    have_ = 0;
    aligned_ = false;
}

}  // namespace orvex::codec
