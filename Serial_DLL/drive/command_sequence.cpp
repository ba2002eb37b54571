#include "command_sequence.h"

#include "../link/port_state.h"

namespace orvex {

int write_frames(std::initializer_list<CanSerialFrame> frames) {
    for (const CanSerialFrame& frame : frames)
        if (Serial_Write(frame.data(), kFrameSize) != Outcome::kOk) return 0;
    return 1;
}

}  // namespace orvex
