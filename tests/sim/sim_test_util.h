// Frame helpers shared by the simulator tests.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "sdo_server.h"

namespace orvex::sim::testing {

inline Frame Sdo(int node, uint8_t command, uint16_t index, uint8_t subindex, uint32_t value = 0) {
    return MakeFrame(static_cast<uint16_t>(0x600 + node),
                     {command, static_cast<uint8_t>(index & 0xFF), static_cast<uint8_t>(index >> 8),
                      subindex, static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                      static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)});
}

inline std::string Hex(const uint8_t* bytes, std::size_t count) {
    std::string text;
    char byte[4];
    for (std::size_t i = 0; i < count; ++i) {
        std::snprintf(byte, sizeof byte, i == 0 ? "%02X" : " %02X", bytes[i]);
        text += byte;
    }
    return text;
}

inline std::string Hex(const Frame& frame) {
    return Hex(frame.data(), frame.size());
}

inline std::vector<std::string> Hex(const std::vector<Frame>& frames) {
    std::vector<std::string> text;
    for (const Frame& f : frames) text.push_back(Hex(f));
    return text;
}

inline uint32_t ValueOf(const Frame& frame) {
    return static_cast<uint32_t>(frame[6]) | (static_cast<uint32_t>(frame[7]) << 8) |
           (static_cast<uint32_t>(frame[8]) << 16) | (static_cast<uint32_t>(frame[9]) << 24);
}

}  // namespace orvex::sim::testing
