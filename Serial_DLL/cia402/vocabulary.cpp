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

}  // namespace orvex::cia402
