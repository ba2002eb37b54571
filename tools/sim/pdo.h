// Transmit PDOs of one simulated drive: the communication objects 0x1800-0x1803 and mapping
// objects 0x1A00-0x1A03 in its object dictionary, the rules for changing them, and the event
// timers that send the mapped values unasked. Pure code: time is passed in.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "codec.h"
#include "object_dictionary.h"

namespace orvex::sim {

constexpr int kTpdoCount = 4;
constexpr uint16_t kTpdoCommunicationBase = 0x1800;
constexpr uint16_t kTpdoMappingBase = 0x1A00;
constexpr int kMaxMappedEntries = 8;
constexpr int kMaxMappedBits = 64;

// COB-ID bits: 31 set = the PDO does not exist (is invalid), 30 set = no remote request, 29 set =
// a 29-bit identifier (not served here).
constexpr uint32_t kCobIdInvalid = 1u << 31;
constexpr uint32_t kCobIdNoRtr = 1u << 30;
constexpr uint32_t kCobIdExtended = 1u << 29;

// Transmission types that send on an event (the event timer here): manufacturer and device
// profile specific.
constexpr uint8_t kTransmissionEventManufacturer = 254;
constexpr uint8_t kTransmissionEventProfile = 255;

// Aborts particular to PDO objects.
constexpr uint32_t kAbortCannotMap = 0x06040041;       // object cannot be mapped to the PDO
constexpr uint32_t kAbortMappingTooLong = 0x06040042;  // entries exceed the PDO length
constexpr uint32_t kAbortNotInThisState = codec::kAbortDeviceState;  // 0x08000022

// Adds the four TPDOs' objects with their power-on values: every COB-ID invalid
// (0x80000000 | 0x180/0x280/0x380/0x480 + node), transmission type 255, no inhibit time, no
// event timer, and the default mappings: statusword; statusword and modes of operation display;
// statusword and position actual value; statusword and velocity actual value. Also what a reset
// of communication restores.
void AddTpdoObjects(ObjectDictionary* od, int node);

// True for 0x1800-0x1803 and 0x1A00-0x1A03.
bool IsTpdoObject(uint16_t index);

// Whether `entry` (index << 16 | subindex << 8 | bit length) names an object of `od` that a
// TPDO may carry, with the object's own length: 0 or kAbortCannotMap.
uint32_t CheckMappingEntry(const ObjectDictionary& od, uint32_t entry);

// 0 when `value` may be written to TPDO object `index`/`subindex` now; else the abort code.
// Mapping entries and the count change only while the COB-ID is invalid, entries only while the
// count is 0; a count is checked against its entries; a COB-ID becomes valid only over a
// mapping of 1-8 entries, and its identifier changes only while it is invalid; the inhibit time
// changes only while it is invalid.
uint32_t CheckTpdoWrite(const ObjectDictionary& od, uint16_t index, uint8_t subindex,
                        uint32_t value);

// The data bytes of TPDO `pdo` (0-3): the mapped values, each as many bits as mapped, packed
// least significant first in mapping order; the rest 0.
codec::Data PackTpdo(const ObjectDictionary& od, int pdo);

// The event timers of one drive's TPDOs.
class TpdoTimers {
  public:
    // Runs the timers for `seconds`. A TPDO sends while `operational`, its COB-ID valid and its
    // transmission type 254 or 255 with an event timer: once each period (the event timer, or
    // the inhibit time when that is longer), the first one period after it started sending. A
    // caller that stalls for several periods gets one frame per TPDO, not a burst. Returns the
    // frames due, TPDO 1 first.
    std::vector<codec::Frame> Advance(const ObjectDictionary& od, bool operational, double seconds);
    // Seconds until the next frame is due, or below 0 when no TPDO sends.
    double SecondsToNext(const ObjectDictionary& od, bool operational) const;

  private:
    // Microseconds between two frames of `pdo`, or 0 when it sends nothing. Whole numbers, so that
    // a period compares equal to itself whatever the floating-point unit keeps in its registers.
    static uint32_t PeriodUs(const ObjectDictionary& od, bool operational, int pdo);

    std::array<uint32_t, kTpdoCount> period_us_{};  // the period each timer runs with; 0 = stopped
    std::array<double, kTpdoCount> due_{};          // seconds until each timer runs out
};

}  // namespace orvex::sim
