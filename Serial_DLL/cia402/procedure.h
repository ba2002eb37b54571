// What every drive procedure shares: its arguments' bounds, how its outcome becomes the export's
// result, and what the drive's state means for a wait that needs operation enabled.
#pragma once

#include <cstdint>

#include "../link/last_result.h"
#include "orvex.h"
#include "vocabulary.h"

namespace orvex::cia402 {

inline bool valid_node(int node) {
    return node >= 1 && node <= 127;
}
inline bool valid_timeout(int timeout_ms) {
    return timeout_ms >= 0 && timeout_ms <= ORVEX_MAX_WAIT_MS;
}

// Records the outcome (an abort code or system error recorded on the way stays) and returns the
// exports' 1 or 0.
inline int finish(Outcome outcome) {
    record(outcome);
    return outcome == Outcome::kOk ? 1 : 0;
}

// kOk while the drive is in operation enabled; kDriveFault once it is in fault (or on its way
// there); kStateChanged in any other state.
inline Outcome while_enabled(std::uint16_t statusword) {
    const State state = decode_state(statusword);
    if (in_fault(state)) return Outcome::kDriveFault;
    return state == State::kOperationEnabled ? Outcome::kOk : Outcome::kStateChanged;
}

// kOk for a drive that can take a command meant for operation enabled; kDriveFault or
// kWrongState otherwise (nothing has been written then).
inline Outcome require_enabled(std::uint16_t statusword) {
    const Outcome outcome = while_enabled(statusword);
    return outcome == Outcome::kStateChanged ? Outcome::kWrongState : outcome;
}

}  // namespace orvex::cia402
