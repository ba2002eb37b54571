// What the CLI knows of the library and the drives, named once: the objects it reads and writes,
// the library's answer limits and the node numbers a command may address.
#pragma once

#include <cstdint>

#include "names.h"

namespace orvex::cli {

// An object-dictionary entry ("0x6064:00" in messages).
struct ObjectRef {
    unsigned index;
    int subindex;
};

// CiA 301 / CiA 402 objects (their indexes from the tools' shared table).
constexpr ObjectRef kErrorRegister{codec::kErrorRegister, 0};
constexpr ObjectRef kErrorCode{codec::kErrorCode, 0};
constexpr ObjectRef kControlword{codec::kControlword, 0};
constexpr ObjectRef kStatusword{codec::kStatusword, 0};
constexpr ObjectRef kModesOfOperation{codec::kModesOfOperation, 0};
constexpr ObjectRef kModesDisplay{codec::kModesOfOperationDisplay, 0};
constexpr ObjectRef kPositionActual{codec::kPositionActual, 0};
constexpr ObjectRef kTargetTorque{0x6071, 0};
constexpr ObjectRef kMaxProfileVelocityTorque{0x607F, 0};
constexpr ObjectRef kProfileVelocity{0x6081, 0};
constexpr ObjectRef kHomingAcceleration{0x609A, 0};
// The drives' own objects that the library addresses.
constexpr ObjectRef kVersion{0x2001, 1};
constexpr ObjectRef kLed{0x2003, 0x14};
// Bus summaries asked of node 0: bit n-1 for drive n.
constexpr ObjectRef kSummaryEnabled{0x3001, 0};
constexpr ObjectRef kSummaryReached{0x3002, 0};
constexpr ObjectRef kSummaryFault{0x3003, 0};

// Answers longer than this wait the library's exchange limit rather than its query limit.
constexpr int kLongAnswerBytes = 50;

// Node 0 is the bus (summaries, NMT to every node); drives are 1..127.
constexpr int kBusNode = 0;
constexpr int kMaxNode = 127;

}  // namespace orvex::cli
