// Per-thread failure detail behind Orvex_LastResult and friends. Every export records its outcome
// here; results themselves never change because of it.
#pragma once

#include <cstdint>

namespace orvex {

enum class Outcome : int {
    kOk = 0,
    kNoPort = -1,
    kSystemError = -2,
    kTimeout = -10,
    kSdoAbort = -11,
    kBadArgument = -12,
    // Outcomes of the drive procedures.
    kDriveFault = -13,
    kWrongState = -14,
    kStateChanged = -15,
    kHomingError = -16,
    kValueMismatch = -17,
    kCancelled = -18,
    // Within the library only, never recorded: a wait stopped to let a stop have the line.
    kGiveWay = 1,
};

// How the last SDO transfer of any size went, for a host that shows its steps.
struct TransferRecord {
    int kind = 0;      // ORVEX_TRANSFER_*: none, expedited, segmented, block
    int segments = 0;  // segments carried, repeats included
    int flags = 0;     // ORVEX_TRANSFER_SIZE_INDICATED, ..._CRC, ..._FELL_BACK, ..._REPEATED
};

struct LastResult {
    Outcome outcome = Outcome::kOk;
    std::uint32_t abort_code = 0;
    int system_error = 0;
    TransferRecord transfer;
};

// The calling thread's record.
LastResult& last_result();

inline void record(Outcome outcome) {
    last_result().outcome = outcome;
}
inline void record_system_error(int error) {
    LastResult& r = last_result();
    r.outcome = Outcome::kSystemError;
    r.system_error = error;
}
inline void record_abort(std::uint32_t code) {
    LastResult& r = last_result();
    r.outcome = Outcome::kSdoAbort;
    r.abort_code = code;
}

}  // namespace orvex
