// Output formatting: hex bytes, bus masks, progress bars.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "describe.h"
#include "names.h"
#include "orvex.h"

namespace orvex::cli {

// The mode and bit names come from the tools' shared tables; what states and codes mean, from the
// library.
using codec::kStatusFault;
using codec::kStatusHomingAttained;
using codec::kStatusSetPointAcknowledge;
using codec::kStatusTargetReached;
using codec::ModeName;
using codec::StatusFlags;

using codec::ErrorRegisterFlags;

// The library's power states (ORVEX_STATE_*), typed.
enum class PowerState : int {
    kUnknown = ORVEX_STATE_UNKNOWN,
    kNotReadyToSwitchOn = ORVEX_STATE_NOT_READY_TO_SWITCH_ON,
    kSwitchOnDisabled = ORVEX_STATE_SWITCH_ON_DISABLED,
    kReadyToSwitchOn = ORVEX_STATE_READY_TO_SWITCH_ON,
    kSwitchedOn = ORVEX_STATE_SWITCHED_ON,
    kOperationEnabled = ORVEX_STATE_OPERATION_ENABLED,
    kQuickStopActive = ORVEX_STATE_QUICK_STOP_ACTIVE,
    kFaultReactionActive = ORVEX_STATE_FAULT_REACTION_ACTIVE,
    kFault = ORVEX_STATE_FAULT,
};

inline PowerState StateOf(std::uint16_t statusword) {
    return static_cast<PowerState>(Orvex_DecodeState(statusword));
}
inline const char* StateName(PowerState state) {
    return Orvex_StateName(static_cast<int>(state));
}
inline const char* StateName(std::uint16_t statusword) {
    return StateName(StateOf(statusword));
}
// In fault, or still in its fault reaction.
inline bool InFault(PowerState state) {
    return state == PowerState::kFault || state == PowerState::kFaultReactionActive;
}
inline bool InFault(std::uint16_t statusword) {
    return InFault(StateOf(statusword));
}
// The meaning of an error code (0x603F, EMCY).
inline const char* ErrorCodeMeaning(std::uint16_t code) {
    return Orvex_ErrorCodeText(code);
}
// The texts DescribeFrame shows.
extern const codec::CodeTexts kLibraryTexts;

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
