// The CiA 402 vocabulary the drive procedures speak: power states decoded from the whole
// statusword, the statusword bits they watch and the controlword commands they write. The objects
// themselves are named with the library's other objects (link/can_serial_frame.h).
#pragma once

#include <cstdint>

#include "orvex.h"

namespace orvex::cia402 {

// The power states, numbered as the ORVEX_STATE_* codes of orvex.h.
enum class State : int {
    kUnknown = ORVEX_STATE_UNKNOWN,  // a statusword that shows no state
    kNotReadyToSwitchOn = ORVEX_STATE_NOT_READY_TO_SWITCH_ON,
    kSwitchOnDisabled = ORVEX_STATE_SWITCH_ON_DISABLED,
    kReadyToSwitchOn = ORVEX_STATE_READY_TO_SWITCH_ON,
    kSwitchedOn = ORVEX_STATE_SWITCHED_ON,
    kOperationEnabled = ORVEX_STATE_OPERATION_ENABLED,
    kQuickStopActive = ORVEX_STATE_QUICK_STOP_ACTIVE,
    kFaultReactionActive = ORVEX_STATE_FAULT_REACTION_ACTIVE,
    kFault = ORVEX_STATE_FAULT,
};

// The state from statusword bits 0-3, 5 and 6 (bit 5 counts only where the state's coding has it).
State decode_state(std::uint16_t statusword);

// Fault, or the fault reaction that leads there: only a fault reset brings the drive back.
inline bool in_fault(State state) {
    return state == State::kFault || state == State::kFaultReactionActive;
}

namespace status {
constexpr std::uint16_t kTargetReached = 1u << 10;  // also: a quick stop or halt has ended
constexpr std::uint16_t kModeBit12 = 1u << 12;      // set-point acknowledge / homing attained
constexpr std::uint16_t kModeBit13 = 1u << 13;      // following error / homing error
}  // namespace status

// Controlword commands (bits 0-3 and 7) and the bits the operating modes add.
namespace command {
constexpr std::uint16_t kDisableVoltage = 0x0000;
constexpr std::uint16_t kQuickStop = 0x0002;
constexpr std::uint16_t kShutdown = 0x0006;
constexpr std::uint16_t kSwitchOn = 0x0007;  // also disable operation
constexpr std::uint16_t kEnableOperation = 0x000F;
constexpr std::uint16_t kFaultReset = 0x0080;
constexpr std::uint16_t kNewSetPoint = 1u << 4;  // also homing operation start
constexpr std::uint16_t kChangeImmediately = 1u << 5;
constexpr std::uint16_t kRelative = 1u << 6;
constexpr std::uint16_t kHalt = 1u << 8;
}  // namespace command

// Modes of operation as 0x6061 shows them.
constexpr int kModeProfilePosition = 1;
constexpr int kModeHoming = 6;

// The longest a drive takes to look at its controlword again: a fault reset holds bit 7 low this
// long before it raises it, and looks at the drive no sooner than this after.
constexpr std::uint32_t kDriveCycleMs = 10;

// Quick stop option code (0x605A) a drive without the object is taken to have.
constexpr int kDefaultQuickStopOption = 2;

}  // namespace orvex::cia402
