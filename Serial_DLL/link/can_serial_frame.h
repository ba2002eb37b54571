// CanSerialFrame: the fixed 12-byte record that carries one CAN message over the serial line, the
// CANopen SDO and NMT content the library puts in it, and how values come back out of an answer.
// Pure code. Which objects and commands go in it is the vocabulary's (cia402/vocabulary.h).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace orvex {

constexpr std::size_t kFrameSize = 12;

struct CanSerialFrame {
    std::array<std::uint8_t, kFrameSize> bytes{};
    const std::uint8_t* data() const { return bytes.data(); }
};

// SDO command specifiers (expedited transfers) and the NMT command code.
namespace sdo {
constexpr std::uint8_t kDownload1 = 0x2F;
constexpr std::uint8_t kDownload2 = 0x2B;
constexpr std::uint8_t kDownload3 = 0x27;
constexpr std::uint8_t kDownload4 = 0x23;
constexpr std::uint8_t kUploadRequest = 0x40;
constexpr std::uint8_t kUploadRequest1 = 0x4F;
constexpr std::uint8_t kUploadRequest2 = 0x4B;
constexpr std::uint8_t kUploadRequest3 = 0x47;
constexpr std::uint8_t kUploadRequest4 = 0x43;
constexpr std::uint8_t kAbort = 0x80;
constexpr std::uint8_t kDownloadConfirmation = 0x60;  // the server's answer to a download
}  // namespace sdo

namespace nmt {
constexpr std::uint8_t kStart = 0x01;
constexpr std::uint8_t kResetCommunication = 0x82;
}  // namespace nmt

struct ObjectEntry {
    std::uint16_t index;
    std::uint8_t subindex;
};

// Only the low 8 bits of a node argument are placed in a frame.
constexpr std::uint8_t node_byte(int node) {
    return static_cast<std::uint8_t>(node & 0xFF);
}

// Size codes compare their low byte: 1, 2, 3 name that many bytes, anything else four.
std::uint8_t download_command_for(int sizeCode);
std::uint8_t upload_command_for(int sizeCode);

CanSerialFrame sdo_download(int node, std::uint8_t command, ObjectEntry entry, std::uint32_t value);
// Any request on `node`'s SDO request channel with the eight CAN data bytes given (the steps of a
// segmented or block transfer, an abort).
CanSerialFrame sdo_request(int node, const std::uint8_t* data);
CanSerialFrame upload_request(int node, std::uint8_t command, ObjectEntry entry);
CanSerialFrame nmt_command(std::uint8_t command, int node);

// A 32-bit field of a frame, least significant byte first.
std::uint32_t load_u32(const std::uint8_t* at);
void store_u32(std::uint8_t* at, std::uint32_t value);

// SDO responses come from 0x580 + node; requests go to 0x600 + node.
constexpr unsigned kSdoResponseBase = 0x580;
constexpr unsigned kSdoRequestBase = 0x600;
// The CAN identifier of a frame (bytes 0-1).
inline unsigned frame_id(const std::uint8_t* frame) {
    return static_cast<unsigned>(frame[0]) << 8 | frame[1];
}
// The node (1-127) whose SDO response identifier a frame carries, or 0 for any other identifier.
inline int sdo_responder(const std::uint8_t* frame) {
    const unsigned id = frame_id(frame);
    return id > kSdoResponseBase && id < kSdoResponseBase + 0x80u
               ? static_cast<int>(id - kSdoResponseBase)
               : 0;
}

// Answer bytes 6-9, least significant first, never sign-extended.
std::uint32_t answer_u32(const std::uint8_t* frame);
std::uint16_t answer_u16(const std::uint8_t* frame);
inline std::int32_t answer_i32(const std::uint8_t* frame) {
    return static_cast<std::int32_t>(answer_u32(frame));
}

// How a frame read back relates to an upload request sent to `node` for `entry`. Expedited SDO
// carries no transaction id: an answer for the same node and object is taken as the answer, even
// one that was late for an earlier request and arrived after the query purged its input.
enum class AnswerKind {
    kOther,     // not for this request: acknowledgement, boot-up, another object or node, a
                // request (identifier 0x600-0x67F, e.g. echoed by the adapter), noise
    kResponse,  // the upload response for the request
    kAbort,     // an SDO abort for the request
};
AnswerKind classify_answer(const std::uint8_t* frame, int node, ObjectEntry entry);

// An upload response that carries its value (expedited, bit 1 of the command). One without it
// starts a segmented transfer of a longer object: its bytes 6-9 are a size, not a value.
inline bool is_expedited(const std::uint8_t* frame) {
    return (frame[2] & 0x02) != 0;
}

// Ends a transfer the server began for a request that expected a value: the abort 0x05040001
// (command not valid) for `entry`, so that the server is free again.
CanSerialFrame transfer_refusal(int node, ObjectEntry entry);
constexpr std::uint32_t kAbortNotExpedited = 0x05040001;

// True when the frame may come from the server of `node` about `entry`, whatever its command:
// the identifier and object rules of classify_answer.
bool answers_object(const std::uint8_t* frame, int node, ObjectEntry entry);

// True when the frame ends in CR LF where a frame should.
bool has_terminator(const std::uint8_t* frame);

}  // namespace orvex
