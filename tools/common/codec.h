// The adapter's 12-byte frame as the tools see it: COB-ID (two bytes, most significant first),
// eight data bytes, CR LF. There is no length byte: a frame always carries eight data bytes.
// Builders, field access, classification by the CiA 301 predefined connection set, and a reader
// that splits a byte stream into frames and finds its way back after damaged bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace orvex::codec {

constexpr std::size_t kFrameSize = 12;
using Frame = std::array<std::uint8_t, kFrameSize>;
using Data = std::array<std::uint8_t, 8>;

// Identifiers (COB-IDs) and their bases; a node's identifier is base + node.
constexpr std::uint16_t kNmtId = 0x000;
constexpr std::uint16_t kSyncId = 0x080;
constexpr std::uint16_t kEmcyBase = 0x080;
constexpr std::uint16_t kTimeId = 0x100;
constexpr std::uint16_t kSdoResponseBase = 0x580;
constexpr std::uint16_t kSdoRequestBase = 0x600;
constexpr std::uint16_t kHeartbeatBase = 0x700;  // boot-up and heartbeat
constexpr int kMaxNode = 127;

// SDO command bytes (byte 0 of the data).
constexpr std::uint8_t kSdoUploadRequest = 0x40;
constexpr std::uint8_t kSdoDownloadAck = 0x60;
constexpr std::uint8_t kSdoAbort = 0x80;

// NMT commands (data byte 0 of identifier 0; byte 1 is the node, 0 for all).
constexpr std::uint8_t kNmtStart = 0x01;
constexpr std::uint8_t kNmtStop = 0x02;
constexpr std::uint8_t kNmtEnterPreOperational = 0x80;
constexpr std::uint8_t kNmtResetNode = 0x81;
constexpr std::uint8_t kNmtResetCommunication = 0x82;

// NMT states as a heartbeat carries them (data byte 0; state 0 is the boot-up message).
constexpr std::uint8_t kNmtBootUp = 0x00;
constexpr std::uint8_t kNmtStopped = 0x04;
constexpr std::uint8_t kNmtOperational = 0x05;
constexpr std::uint8_t kNmtPreOperational = 0x7F;

// Expedited transfers: the command byte for 1 to 4 value bytes (any other size counts as 4).
std::uint8_t DownloadCommand(int size);        // 0x2F, 0x2B, 0x27, 0x23
std::uint8_t UploadResponseCommand(int size);  // 0x4F, 0x4B, 0x47, 0x43
// The value size an expedited command byte states, or 0 when it states none.
int ExpeditedSize(std::uint8_t command);

// Builders. A node goes into the identifier as its low byte, as the library sends it.
Frame MakeFrame(std::uint16_t cob_id, const Data& data);
Frame SdoFrame(std::uint16_t cob_id, std::uint8_t command, std::uint16_t index,
               std::uint8_t subindex, std::uint32_t value);
Frame UploadRequest(int node, std::uint16_t index, std::uint8_t subindex);
Frame Download(int node, std::uint16_t index, std::uint8_t subindex, std::uint32_t value,
               int size = 4);
Frame UploadResponse(int node, std::uint16_t index, std::uint8_t subindex, std::uint32_t value,
                     int size = 4);
Frame DownloadAck(int node, std::uint16_t index, std::uint8_t subindex);
Frame SdoAbortFrame(int node, std::uint16_t index, std::uint8_t subindex, std::uint32_t code);
Frame NmtCommand(std::uint8_t command, int node);
Frame Heartbeat(int node, std::uint8_t state);
Frame BootUp(int node);
Frame Emcy(int node, std::uint16_t error_code, std::uint8_t error_register);

// Field access.
std::uint16_t CobId(const Frame& frame);
bool HasTerminator(const Frame& frame);  // bytes 10 and 11 are CR LF
std::uint8_t SdoCommand(const Frame& frame);
std::uint16_t SdoIndex(const Frame& frame);
std::uint8_t SdoSubindex(const Frame& frame);
std::uint32_t SdoValue(const Frame& frame);  // data bytes 4-7, least significant first
std::uint16_t EmcyErrorCode(const Frame& frame);
std::uint8_t EmcyErrorRegister(const Frame& frame);

// What a frame is, by its identifier (and for SDO, its command byte).
enum class FrameKind {
    kNmt,
    kSync,
    kEmcy,
    kTime,
    kPdo,
    kSdoRequest,
    kSdoResponse,
    kBootUp,
    kHeartbeat,
    kOther,
};

enum class SdoService {
    kNone,  // not an SDO frame
    kUploadRequest,
    kDownloadRequest,
    kUploadResponse,
    kDownloadAck,
    kAbort,
    kOther,  // segmented and block transfers, unknown specifiers
};

struct FrameInfo {
    FrameKind kind = FrameKind::kOther;
    int node = 0;  // the node an identifier names; 0 for NMT, SYNC, TIME and other traffic
    SdoService sdo = SdoService::kNone;
};

FrameInfo Classify(const Frame& frame);
const char* KindName(FrameKind kind);  // "nmt", "sdo-request", "heartbeat", ...

// "06 01 40 64 60 00 00 00 00 00 0D 0A"
std::string Hex(const Frame& frame);
std::string Hex(const std::uint8_t* bytes, std::size_t count);
// "0x0637": a value with as many hex digits as `bytes` bytes take.
std::string HexNumber(std::uint32_t value, int bytes);

// Splits a byte stream into frames, by the rule the library's receiver follows. A frame is 12
// bytes ending in CR LF. When the 12 bytes at the front do not end so, the stream is misaligned:
// the reader drops one byte and looks again, so no complete frame after noise is skipped over.
// Right after a frame, the next 12 bytes are the next frame. Where framing is not known (at the
// start, after dropped bytes) noise followed by the front of a frame whose data holds 0D 0A also
// ends in CR LF: there a frame is decided once the 23 bytes behind it are in, or at Flush (no
// more input for now). When the window right after it is not a frame while a later window over
// the same bytes is one and is followed by a frame, that later window is the frame.
class FrameReader {
  public:
    // One byte in; true when a frame is decided, which is then in `frame`. Never allocates.
    bool Push(std::uint8_t byte, Frame* frame);
    // No more input for now: true with the next frame held, if any (call until false).
    bool Flush(Frame* frame);

    void Reset();
    std::size_t discarded() const { return discarded_; }  // bytes dropped while resynchronising

  private:
    bool FrameAt(std::size_t at) const;
    void Drop(std::size_t count);
    bool Decide(bool input_paused, Frame* frame);

    std::array<std::uint8_t, 3 * kFrameSize - 1> held_{};
    std::size_t have_ = 0;
    std::size_t discarded_ = 0;
    bool aligned_ = false;  // the bytes held follow a frame taken
};

}  // namespace orvex::codec
