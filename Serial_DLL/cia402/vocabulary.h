// The library's one CANopen vocabulary: the objects it addresses, the controlwords and modes the
// original exports write, the power states decoded from the whole statusword, the bits and
// commands the drive procedures use, and (codes.h) what outcomes, abort codes and error codes mean.
// The link layer carries frames and knows none of it.
#pragma once

#include <cstdint>

#include "../link/can_serial_frame.h"
#include "orvex.h"

namespace orvex {

// The objects the library addresses: CiA 402 drive objects and this system's own (0x2001 version,
// 0x2003:14 LED, 0x3001-0x3003 bus summaries at node 0).
namespace object {
constexpr ObjectEntry kErrorCode{0x603F, 0};
constexpr ObjectEntry kControlword{0x6040, 0};
constexpr ObjectEntry kStatusword{0x6041, 0};
constexpr ObjectEntry kQuickStopOptionCode{0x605A, 0};
constexpr ObjectEntry kModesOfOperation{0x6060, 0};
constexpr ObjectEntry kModesOfOperationDisplay{0x6061, 0};
constexpr ObjectEntry kPositionActual{0x6064, 0};
constexpr ObjectEntry kTargetTorque{0x6071, 0};
constexpr ObjectEntry kTargetPosition{0x607A, 0};
constexpr ObjectEntry kMaxProfileVelocity{0x607F, 0};
constexpr ObjectEntry kProfileVelocity{0x6081, 0};
constexpr ObjectEntry kProfileAcceleration{0x6083, 0};
constexpr ObjectEntry kProfileDeceleration{0x6084, 0};
constexpr ObjectEntry kHomingMethod{0x6098, 0};
constexpr ObjectEntry kHomingSpeedSwitch{0x6099, 1};
constexpr ObjectEntry kHomingSpeedZero{0x6099, 2};
constexpr ObjectEntry kHomingAcceleration{0x609A, 0};
constexpr ObjectEntry kTargetVelocity{0x60FF, 0};
constexpr ObjectEntry kVersion{0x2001, 1};
constexpr ObjectEntry kLed{0x2003, 0x14};
constexpr ObjectEntry kAllEnableStatus{0x3001, 0};
constexpr ObjectEntry kAllReachedStatus{0x3002, 0};
constexpr ObjectEntry kAllErrorStatus{0x3003, 0};
}  // namespace object

namespace mode {
constexpr std::uint32_t kProfilePosition = 1;
constexpr std::uint32_t kProfileVelocity = 3;
constexpr std::uint32_t kProfileTorque = 4;
constexpr std::uint32_t kHoming = 6;
}  // namespace mode

// Whether the object holds a signed integer (a value mapped into a PDO is then sign-extended):
// the drive profile's positions, velocities, torques, currents and the mode display.
bool is_signed_object(std::uint16_t index);

// The statusword bits GetMotorStatus reports: 0-3, 8 and 10-12.
constexpr std::uint32_t kStatuswordMask = 0x1D0F;

namespace cia402 {

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
// "operation enabled", ...; a text that says so for a code that names no state.
const char* state_name(int state);

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
constexpr int kModeProfilePosition = mode::kProfilePosition;
constexpr int kModeHoming = mode::kHoming;

// The longest a drive takes to look at its controlword again: a fault reset holds bit 7 low this
// long before it raises it, and looks at the drive no sooner than this after.
constexpr std::uint32_t kDriveCycleMs = 10;

// Quick stop option code (0x605A) a drive without the object is taken to have.
constexpr int kDefaultQuickStopOption = 2;

}  // namespace cia402

// The whole controlwords the original one-frame exports write.
namespace controlword {
namespace bits = cia402::command;
constexpr std::uint32_t kEnableOperation = bits::kEnableOperation;                   // 0x000F
constexpr std::uint32_t kDisableOperation = bits::kSwitchOn;                         // 0x0007
constexpr std::uint32_t kQuickStop = bits::kQuickStop;                               // 0x0002
constexpr std::uint32_t kHalt = bits::kEnableOperation | bits::kHalt;                // 0x010F
constexpr std::uint32_t kHomingStart = bits::kEnableOperation | bits::kNewSetPoint;  // 0x001F
constexpr std::uint32_t kMoveAbsolute = kHomingStart | bits::kChangeImmediately;     // 0x003F
constexpr std::uint32_t kMoveRelative = kMoveAbsolute | bits::kRelative;             // 0x007F
}  // namespace controlword

}  // namespace orvex
