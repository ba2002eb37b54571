// What the CLI knows of the library and the drives, named once: the objects it reads and writes,
// the library's answer limits and the node numbers a command may address.
#pragma once

#include <cstdint>

namespace orvex::cli {

// An object-dictionary entry ("0x6064:00" in messages).
struct ObjectRef {
    unsigned index;
    int subindex;
};

// CiA 301 / CiA 402 objects.
constexpr ObjectRef kErrorRegister{0x1001, 0};
constexpr ObjectRef kErrorCode{0x603F, 0};
constexpr ObjectRef kControlword{0x6040, 0};
constexpr ObjectRef kStatusword{0x6041, 0};
constexpr ObjectRef kModesOfOperation{0x6060, 0};
constexpr ObjectRef kModesDisplay{0x6061, 0};
constexpr ObjectRef kPositionActual{0x6064, 0};
constexpr ObjectRef kTargetTorque{0x6071, 0};
constexpr ObjectRef kMaxProfileVelocityTorque{0x607F, 0};
// The drives' own objects that the library addresses.
constexpr ObjectRef kVersion{0x2001, 1};
constexpr ObjectRef kLed{0x2003, 0x14};
// Bus summaries asked of node 0: bit n-1 for drive n.
constexpr ObjectRef kSummaryEnabled{0x3001, 0};
constexpr ObjectRef kSummaryReached{0x3002, 0};
constexpr ObjectRef kSummaryFault{0x3003, 0};

// Whether `index` is an object that the library or orvex addresses, or a common CiA 301/402
// one: used to tell a decimal INDEX that was meant as hex.
bool IsKnownObjectIndex(unsigned index);

// The library waits strictly more than 800 ms for an answer, 3800 ms for answers over 50 bytes.
constexpr int kAnswerLimitMs = 800;
constexpr int kLongAnswerLimitMs = 3800;
constexpr int kLongAnswerBytes = 50;

// Node 0 is the bus (summaries, NMT to every node); drives are 1..127.
constexpr int kBusNode = 0;
constexpr int kMaxNode = 127;

}  // namespace orvex::cli
