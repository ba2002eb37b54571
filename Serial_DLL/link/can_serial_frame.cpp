#include "can_serial_frame.h"

namespace orvex {
namespace {

constexpr std::uint8_t kSdoRequestIdHigh = 0x06;  // COB-ID 0x600 + node
constexpr std::uint8_t kCr = 0x0D;
constexpr std::uint8_t kLf = 0x0A;

CanSerialFrame sdo_frame(int node, std::uint8_t command, ObjectEntry entry, std::uint32_t value) {
    CanSerialFrame frame;
    auto& b = frame.bytes;
    b[0] = kSdoRequestIdHigh;
    b[1] = node_byte(node);
    b[2] = command;
    b[3] = static_cast<std::uint8_t>(entry.index & 0xFF);
    b[4] = static_cast<std::uint8_t>(entry.index >> 8);
    b[5] = entry.subindex;
    store_u32(&b[6], value);
    b[10] = kCr;
    b[11] = kLf;
    return frame;
}

}  // namespace

std::uint32_t load_u32(const std::uint8_t* at) {
    return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
           static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

void store_u32(std::uint8_t* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

CanSerialFrame sdo_request(int node, const std::uint8_t* data) {
    CanSerialFrame frame;
    auto& b = frame.bytes;
    b[0] = kSdoRequestIdHigh;
    b[1] = node_byte(node);
    for (std::size_t i = 0; i < 8; ++i) b[2 + i] = data[i];
    b[10] = kCr;
    b[11] = kLf;
    return frame;
}

std::uint8_t download_command_for(int sizeCode) {
    switch (sizeCode & 0xFF) {
        case 1:
            return sdo::kDownload1;
        case 2:
            return sdo::kDownload2;
        case 3:
            return sdo::kDownload3;
        default:
            return sdo::kDownload4;
    }
}

std::uint8_t upload_command_for(int sizeCode) {
    switch (sizeCode & 0xFF) {
        case 1:
            return sdo::kUploadRequest1;
        case 2:
            return sdo::kUploadRequest2;
        case 3:
            return sdo::kUploadRequest3;
        default:
            return sdo::kUploadRequest4;
    }
}

CanSerialFrame sdo_download(int node, std::uint8_t command, ObjectEntry entry,
                            std::uint32_t value) {
    return sdo_frame(node, command, entry, value);
}

CanSerialFrame upload_request(int node, std::uint8_t command, ObjectEntry entry) {
    return sdo_frame(node, command, entry, 0);
}

CanSerialFrame nmt_command(std::uint8_t command, int node) {
    CanSerialFrame frame;
    frame.bytes[2] = command;
    frame.bytes[3] = node_byte(node);
    frame.bytes[10] = kCr;
    frame.bytes[11] = kLf;
    return frame;
}

std::uint32_t answer_u32(const std::uint8_t* frame) {
    return load_u32(frame + 6);
}

std::uint16_t answer_u16(const std::uint8_t* frame) {
    return static_cast<std::uint16_t>(frame[6] | frame[7] << 8);
}

bool has_terminator(const std::uint8_t* frame) {
    return frame[10] == kCr && frame[11] == kLf;
}

bool answers_object(const std::uint8_t* frame, int node, ObjectEntry entry) {
    if (!has_terminator(frame)) return false;
    const unsigned id = frame_id(frame);
    // Adapters differ in what they put in the identifier bytes, so the identifier rules out only
    // what plainly is not the answer. A request is never an answer: not one on the SDO request
    // channel, nor the query's own request (an adapter that echoes the host's frames sends it
    // back). Node bytes above 127 make response identifiers past 0x5FF, which are taken.
    const unsigned own = kSdoResponseBase + node_byte(node);
    if (id == kSdoRequestBase + node_byte(node)) return false;
    if (id >= kSdoRequestBase && id < kSdoRequestBase + 0x80u && id != own) return false;
    // An SDO response from another node answers someone else. Node 0 is not a drive: the device
    // that answers the bus summaries may use its own identifier, so any SDO response will do.
    if (id >= kSdoResponseBase && id < kSdoResponseBase + 0x80u && id != own &&
        node_byte(node) != 0)
        return false;
    const unsigned index = static_cast<unsigned>(frame[3]) | static_cast<unsigned>(frame[4]) << 8;
    return index == entry.index && frame[5] == entry.subindex;
}

CanSerialFrame transfer_refusal(int node, ObjectEntry entry) {
    return sdo_frame(node, sdo::kAbort, entry, kAbortNotExpedited);
}

AnswerKind classify_answer(const std::uint8_t* frame, int node, ObjectEntry entry) {
    if (!answers_object(frame, node, entry)) return AnswerKind::kOther;
    const std::uint8_t command = frame[2];
    if (command == sdo::kAbort) return AnswerKind::kAbort;
    // Upload responses are 0x40-0x5F: 010x xxxx (expedited or not, with or without a size).
    if ((command & 0xE0) == 0x40) return AnswerKind::kResponse;
    return AnswerKind::kOther;
}

}  // namespace orvex
