// Frames as an adapter sends them back, for the tests' fake adapters, in the tools' codec (not the
// library's own, which these tests check). Portable: no system headers.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "codec.h"

namespace orvex::test {

using Frame = codec::Frame;
using Bytes = std::vector<std::uint8_t>;

// Any frame: identifier (MSB first), SDO command, index, subindex, value (LSB first), CR LF.
Frame can_frame(unsigned id, std::uint8_t command, std::uint16_t index, std::uint8_t sub,
                std::uint32_t value);
// Answers from `node` (COB-ID 0x580 + node).
Frame sdo_answer(int node, std::uint16_t index, std::uint8_t sub, std::uint32_t value,
                 std::uint8_t command = 0x43);
Frame sdo_abort(int node, std::uint16_t index, std::uint8_t sub, std::uint32_t code);
Frame download_ack(int node, std::uint16_t index, std::uint8_t sub);
// Unsolicited traffic: a heartbeat with its NMT state (0x05 operational), an emergency.
Frame heartbeat(int node, std::uint8_t state = 0x05);
Frame emergency(int node, std::uint16_t code, std::uint8_t error_register);

Frame frame_of(std::initializer_list<int> bytes);
Bytes bytes_of(const Frame& frame);
Bytes concat(std::initializer_list<Bytes> parts);
std::string hex(const Frame& frame);
std::uint16_t index_of(const Frame& request);

}  // namespace orvex::test
