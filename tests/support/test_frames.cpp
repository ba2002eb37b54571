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
