#include "test_frames.h"

#include <cstdio>

namespace orvex::test {

Frame can_frame(unsigned id, std::uint8_t command, std::uint16_t index, std::uint8_t sub,
                std::uint32_t value) {
    return Frame{static_cast<std::uint8_t>(id >> 8),
                 static_cast<std::uint8_t>(id & 0xFF),
                 command,
                 static_cast<std::uint8_t>(index & 0xFF),
                 static_cast<std::uint8_t>(index >> 8),
                 sub,
                 static_cast<std::uint8_t>(value),
                 static_cast<std::uint8_t>(value >> 8),
                 static_cast<std::uint8_t>(value >> 16),
                 static_cast<std::uint8_t>(value >> 24),
                 0x0D,
                 0x0A};
}

namespace {
unsigned response_id(int node) {
    return 0x580u + static_cast<unsigned>(node & 0xFF);
}
}  // namespace

Frame sdo_answer(int node, std::uint16_t index, std::uint8_t sub, std::uint32_t value,
                 std::uint8_t command) {
    return can_frame(response_id(node), command, index, sub, value);
}
Frame sdo_abort(int node, std::uint16_t index, std::uint8_t sub, std::uint32_t code) {
    return can_frame(response_id(node), 0x80, index, sub, code);
}
Frame download_ack(int node, std::uint16_t index, std::uint8_t sub) {
    return can_frame(response_id(node), 0x60, index, sub, 0);
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
    std::string text;
    char byte[4];
    for (std::uint8_t b : frame) {
        std::snprintf(byte, sizeof byte, "%02X ", b);
        text += byte;
    }
    text.pop_back();
    return text;
}

std::uint16_t index_of(const Frame& request) {
    return static_cast<std::uint16_t>(request[3] | request[4] << 8);
}

}  // namespace orvex::test
