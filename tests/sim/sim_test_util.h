// Frame helpers shared by the simulator tests.
#pragma once

#include <string>
#include <vector>

#include "sdo_server.h"

namespace orvex::sim::testing {

inline Frame Sdo(int node, uint8_t command, uint16_t index, uint8_t subindex, uint32_t value = 0) {
    return codec::SdoFrame(static_cast<uint16_t>(0x600 + node), command, index, subindex, value);
}

using codec::Hex;

inline std::vector<std::string> Hex(const std::vector<Frame>& frames) {
    std::vector<std::string> text;
    for (const Frame& f : frames) text.push_back(Hex(f));
    return text;
}

inline uint32_t ValueOf(const Frame& frame) {
    return codec::SdoValue(frame);
}

}  // namespace orvex::sim::testing
