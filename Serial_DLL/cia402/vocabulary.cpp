#include "vocabulary.h"

namespace orvex::cia402 {
namespace {

struct Coding {
    std::uint16_t mask;
    std::uint16_t value;
    State state;
};

// Checked in order; bit 5 (quick stop) is part of the coding only where it tells states apart.
constexpr Coding kCodings[] = {
    {0x4F, 0x00, State::kNotReadyToSwitchOn},  {0x4F, 0x40, State::kSwitchOnDisabled},
    {0x6F, 0x21, State::kReadyToSwitchOn},     {0x6F, 0x23, State::kSwitchedOn},
    {0x6F, 0x27, State::kOperationEnabled},    {0x6F, 0x07, State::kQuickStopActive},
    {0x4F, 0x0F, State::kFaultReactionActive}, {0x4F, 0x08, State::kFault},
};

}  // namespace

State decode_state(std::uint16_t statusword) {
    for (const Coding& coding : kCodings)
        if ((statusword & coding.mask) == coding.value) return coding.state;
    return State::kUnknown;
}

const char* state_name(int state) {
    switch (static_cast<State>(state)) {
        case State::kUnknown:
            return "unknown state";
        case State::kNotReadyToSwitchOn:
            return "not ready to switch on";
        case State::kSwitchOnDisabled:
            return "switch on disabled";
        case State::kReadyToSwitchOn:
            return "ready to switch on";
        case State::kSwitchedOn:
            return "switched on";
        case State::kOperationEnabled:
            return "operation enabled";
        case State::kQuickStopActive:
            return "quick stop active";
        case State::kFaultReactionActive:
            return "fault reaction active";
        case State::kFault:
            return "fault";
    }
    return "not a state code";
}

}  // namespace orvex::cia402

namespace orvex {

bool is_signed_object(std::uint16_t index) {
    switch (index) {
        case 0x6061:  // modes of operation display
        case 0x6062:  // position demand value
        case 0x6063:  // position actual value (increments)
        case 0x6064:  // position actual value
        case 0x606B:  // velocity demand value
        case 0x606C:  // velocity actual value
        case 0x6071:  // target torque
        case 0x6074:  // torque demand
        case 0x6077:  // torque actual value
        case 0x6078:  // current actual value
        case 0x607A:  // target position
        case 0x60F4:  // following error actual value
        case 0x60FF:  // target velocity
            return true;
        default:
            return false;
    }
}

}  // namespace orvex
