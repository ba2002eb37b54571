#include "describe.h"

#include "names.h"

namespace orvex::codec {
namespace {

std::string NodeText(int node) {
    return "node " + std::to_string(node) + "  ";
}

std::string DataBytes(const Frame& frame) {
    return Hex(frame.data() + 2, 8);
}

// The value in `size` bytes, in hex and in decimal (signed where the object is), with the state,
// mode or error it stands for where the object says.
std::string ValueText(std::uint16_t index, std::uint8_t subindex, std::uint32_t raw, int size,
                      const CodeTexts& texts) {
    if (size < 4) raw &= (1u << (8 * size)) - 1u;
    const ObjectInfo* info = FindObject(index, subindex);
    long long number = raw;
    if (info != nullptr && info->is_signed && size == info->size) {
        const std::uint32_t sign = 1u << (8 * size - 1);
        if (raw & sign) number = static_cast<long long>(raw) - 2LL * sign;
    }
    std::string text = HexNumber(raw, size) + " (" + std::to_string(number) + ")";
    if (index == kStatusword && subindex == 0) {
        text += " " + std::string(texts.statusword_state(raw));
    } else if ((index == kModesOfOperation || index == kModesOfOperationDisplay) && subindex == 0) {
        text += " " + ModeName(static_cast<int>(number));
    } else if (index == kErrorCode && subindex == 0) {
        text += " " + std::string(texts.error_code(raw));
    }
    return text;
}

std::string DescribeSdo(const Frame& frame, const FrameInfo& info, const CodeTexts& texts) {
    const std::uint16_t index = SdoIndex(frame);
    const std::uint8_t subindex = SdoSubindex(frame);
    const std::uint8_t command = SdoCommand(frame);
    const std::string object = DescribeObject(index, subindex);
    const int stated = ExpeditedSize(command);
    const int size = stated != 0 ? stated : 4;
    std::string text = NodeText(info.node);
    switch (info.sdo) {
        case SdoService::kUploadRequest:
            return text + "SDO read " + object;
        case SdoService::kUploadResponse:
            return text + "SDO answer " + object + " = " +
                   ValueText(index, subindex, SdoValue(frame), size, texts);
        case SdoService::kDownloadRequest:
            return text + "SDO write " + object + " <- " +
                   ValueText(index, subindex, SdoValue(frame), size, texts);
        case SdoService::kDownloadAck:
            return text + "SDO write confirmed " + object;
        case SdoService::kAbort: {
            const std::uint32_t code = SdoValue(frame);
            return text + "SDO abort " + object + ": " + HexNumber(code, 4) + " " +
                   texts.abort_code(code);
        }
        case SdoService::kNone:
        case SdoService::kOther:
            break;
    }
    return text + "SDO " + HexNumber(command, 1) + " " + DataBytes(frame);
}

std::string DescribeEmcy(const Frame& frame, int node, const CodeTexts& texts) {
    const std::uint16_t code = EmcyErrorCode(frame);
    const std::uint8_t error_register = EmcyErrorRegister(frame);
    std::string text = NodeText(node) + "EMCY " + HexNumber(code, 2) + " " +
                       texts.error_code(code) + ", error register " + HexNumber(error_register, 1);
    std::string flags;
    for (const std::string& flag : ErrorRegisterFlags(error_register)) {
        flags += (flags.empty() ? "" : ", ") + flag;
    }
    if (!flags.empty()) text += " (" + flags + ")";
    return text;
}

}  // namespace

std::string DescribeFrame(const Frame& frame, const CodeTexts& texts) {
    const FrameInfo info = Classify(frame);
    switch (info.kind) {
        case FrameKind::kSdoRequest:
        case FrameKind::kSdoResponse:
            return DescribeSdo(frame, info, texts);
        case FrameKind::kNmt: {
            const char* name = NmtCommandName(frame[2]);
            const int target = frame[3];
            return "NMT " +
                   (name != nullptr ? std::string(name) : "command " + HexNumber(frame[2], 1)) +
                   ", " +
                   (target == 0 ? std::string("all nodes") : "node " + std::to_string(target));
        }
        case FrameKind::kBootUp:
            return NodeText(info.node) + "boot-up";
        case FrameKind::kHeartbeat: {
            const char* state = NmtStateName(frame[2]);
            return NodeText(info.node) + "heartbeat " +
                   (state != nullptr ? std::string(state) : "state " + HexNumber(frame[2], 1));
        }
        case FrameKind::kEmcy:
            return DescribeEmcy(frame, info.node, texts);
        case FrameKind::kSync:
            return "SYNC";
        case FrameKind::kTime:
            return "TIME " + DataBytes(frame);
        case FrameKind::kPdo:
            return NodeText(info.node) + "PDO " + DataBytes(frame);
        case FrameKind::kOther:
            break;
    }
    return "data " + DataBytes(frame);
}

}  // namespace orvex::codec
