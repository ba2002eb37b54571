#include "command_sequence.h"

namespace orvex {

int write_frames(std::initializer_list<CanSerialFrame> frames, Priority priority) {
    return send_commands(frames.begin(), frames.size(), priority);
}

}  // namespace orvex
