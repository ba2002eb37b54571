// Output formatting: hex bytes, bus masks, progress bars.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "names.h"

namespace orvex::cli {

// The statusword, mode and bit names come from the tools' shared tables.
using codec::kStatusFault;
using codec::kStatusHomingAttained;
using codec::kStatusSetPointAcknowledge;
using codec::kStatusTargetReached;
using codec::ModeName;
using codec::PowerState;
using codec::StateName;
using codec::StatusFlags;

using codec::ErrorRegisterFlags;

inline PowerState StateOf(std::uint16_t statusword) {
    return codec::DecodeState(statusword);
}
inline const char* StateName(PowerState state) {
    return codec::PowerStateName(state);
}
// In fault, or still in its fault reaction.
inline bool InFault(std::uint16_t statusword) {
    const PowerState state = StateOf(statusword);
    return state == PowerState::kFault || state == PowerState::kFaultReactionActive;
}
// The meaning of an error code (0x603F), "unknown error code" where the table has none.
std::string ErrorCodeMeaning(std::uint16_t code);

// "node 2"
std::string NodeName(int node);

std::string Join(const std::vector<std::string>& parts, const std::string& separator);
std::string HexBytes(const std::vector<std::uint8_t>& bytes);
// "0x0637" with as many digits as `bytes` bytes.
std::string HexValue(std::uint32_t value, int bytes);
// Drives whose bit is set (bit n-1 for drive n): "1, 3" or "none".
std::string DriveList(std::uint32_t mask);
// "[#######.....] 58%"
std::string ProgressBar(double fraction, int width);

}  // namespace orvex::cli
