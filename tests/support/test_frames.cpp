#include "test_frames.h"

namespace orvex::test {

Frame can_frame(unsigned id, std::uint8_t command, std::uint16_t index, std::uint8_t sub,
                std::uint32_t value) {
    return codec::SdoFrame(static_cast<std::uint16_t>(id), command, index, sub, value);
}

Frame sdo_answer(int node, std::uint16_t index, std::uint8_t sub, std::uint32_t value,
                 std::uint8_t command) {
    return codec::SdoFrame(static_cast<std::uint16_t>(codec::kSdoResponseBase + (node & 0xFF)),
                           command, index, sub, value);
}
Frame sdo_abort(int node, std::uint16_t index, std::uint8_t sub, std::uint32_t code) {
    return codec::SdoAbortFrame(node, index, sub, code);
}
Frame download_ack(int node, std::uint16_t index, std::uint8_t sub) {
    return codec::DownloadAck(node, index, sub);
}

Frame heartbeat(int node, std::uint8_t state) {
    return can_frame(0x700u + static_cast<unsigned>(node & 0x7F), state, 0, 0, 0);
}
Frame emergency(int node, std::uint16_t code, std::uint8_t error_register) {
    // Data: error code (low byte first), error register, five manufacturer bytes (zero).
    return can_frame(0x080u + static_cast<unsigned>(node & 0x7F), static_cast<std::uint8_t>(code),
                     static_cast<std::uint16_t>(code >> 8 | error_register << 8), 0, 0);
}

Frame frame_of(std::initializer_list<int> bytes) {
    Frame frame{};
    std::size_t i = 0;
    for (int b : bytes) frame.at(i++) = static_cast<std::uint8_t>(b);
    return frame;
}

Bytes bytes_of(const Frame& frame) {
    return Bytes(frame.begin(), frame.end());
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

std::string hex(const Frame& frame) {
    return codec::Hex(frame);
}

std::uint16_t index_of(const Frame& request) {
    return codec::SdoIndex(request);
}

}  // namespace orvex::test
