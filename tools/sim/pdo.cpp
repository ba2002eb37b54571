#include "pdo.h"

#include <algorithm>

namespace orvex::sim {

namespace {

constexpr uint8_t kSubCobId = 1;
constexpr uint8_t kSubTransmissionType = 2;
constexpr uint8_t kSubInhibitTime = 3;  // 100 us units
constexpr uint8_t kSubEventTimer = 5;   // ms
constexpr uint8_t kHighestCommunicationSub = 5;
constexpr uint32_t kCanIdMask = 0x7FF;

// Objects a TPDO may carry: what a host follows of a running drive.
constexpr uint16_t kMappable[] = {
    0x1001,  // error register
    0x603F,  // error code
    0x6041,  // statusword
    0x6061,  // modes of operation display
    0x6064,  // position actual value
    0x606C,  // velocity actual value
    0x6077,  // torque actual value
    0x60FD,  // digital inputs
};

// The power-on mapping of each TPDO.
constexpr uint32_t kDefaultMappings[kTpdoCount][2] = {
    {0x60410010, 0},
    {0x60410010, 0x60610008},
    {0x60410010, 0x60640020},
    {0x60410010, 0x606C0020},
};

uint16_t CommunicationIndex(int pdo) {
    return static_cast<uint16_t>(kTpdoCommunicationBase + pdo);
}
uint16_t MappingIndex(int pdo) {
    return static_cast<uint16_t>(kTpdoMappingBase + pdo);
}

bool Valid(const ObjectDictionary& od, int pdo) {
    return (od.GetUnsigned(CommunicationIndex(pdo), kSubCobId) & kCobIdInvalid) == 0;
}

// Identifiers CANopen reserves for NMT, SYNC, time, SDO, heartbeat and LSS: no PDO may use them.
bool RestrictedCanId(uint32_t id) {
    return id <= 0x07F || (id >= 0x101 && id <= 0x180) || (id >= 0x581 && id <= 0x5FF) ||
           (id >= 0x601 && id <= 0x67F) || (id >= 0x6E0 && id <= 0x6FF) || id >= 0x701;
}

// 0, or the abort for a mapping of the first `count` entries of `pdo`.
uint32_t CheckMapping(const ObjectDictionary& od, int pdo, uint32_t count) {
    if (count > kMaxMappedEntries) return kAbortMappingTooLong;
    uint32_t bits = 0;
    for (uint32_t sub = 1; sub <= count; ++sub) {
        const uint32_t entry = od.GetUnsigned(MappingIndex(pdo), static_cast<uint8_t>(sub));
        const uint32_t code = CheckMappingEntry(od, entry);
        if (code != 0) return code;
        bits += entry & 0xFF;
    }
    return bits > kMaxMappedBits ? kAbortMappingTooLong : 0;
}

uint32_t CheckCommunicationWrite(const ObjectDictionary& od, int pdo, uint8_t subindex,
                                 uint32_t value) {
    const bool valid = Valid(od, pdo);
    switch (subindex) {
        case kSubCobId: {
            if ((value & kCobIdExtended) != 0 || (value & ~(0xE0000000u | kCanIdMask)) != 0)
                return kAbortInvalidValue;
            if ((value & kCobIdInvalid) != 0) return 0;  // taking it out of service: always
            const uint32_t id = value & kCanIdMask;
            const uint32_t current = od.GetUnsigned(CommunicationIndex(pdo), kSubCobId);
            if (valid && id != (current & kCanIdMask)) return kAbortNotInThisState;
            if (RestrictedCanId(id)) return kAbortInvalidValue;
            const uint32_t count = od.GetUnsigned(MappingIndex(pdo), 0);
            if (count == 0) return kAbortNotInThisState;  // nothing to send
            return CheckMapping(od, pdo, count);
        }
        case kSubTransmissionType:
            // 241-251 are reserved; the rest is stored (only 254 and 255 send here).
            return value >= 241 && value <= 251 ? kAbortInvalidValue : 0;
        case kSubInhibitTime:
            return valid ? kAbortNotInThisState : 0;
        default:
            return 0;
    }
}

uint32_t CheckMappingWrite(const ObjectDictionary& od, int pdo, uint8_t subindex, uint32_t value) {
    if (Valid(od, pdo)) return kAbortNotInThisState;
    if (subindex == 0) return CheckMapping(od, pdo, value);
    if (od.GetUnsigned(MappingIndex(pdo), 0) != 0) return kAbortNotInThisState;
    return value == 0 ? 0 : CheckMappingEntry(od, value);
}

}  // namespace

void AddTpdoObjects(ObjectDictionary* od, int node) {
    using T = ObjectType;
    constexpr Access ro = Access::kReadOnly;
    constexpr Access rw = Access::kReadWrite;
    for (int pdo = 0; pdo < kTpdoCount; ++pdo) {
        const uint16_t comm = CommunicationIndex(pdo);
        const uint32_t cob_id =
            0x180u + 0x100u * static_cast<uint32_t>(pdo) + static_cast<uint32_t>(node);
        od->Add(comm, 0, T::kU8, ro, kHighestCommunicationSub);
        od->Add(comm, kSubCobId, T::kU32, rw, kCobIdInvalid | cob_id);
        od->Add(comm, kSubTransmissionType, T::kU8, rw, kTransmissionEventProfile);
        od->Add(comm, kSubInhibitTime, T::kU16, rw, 0);
        od->Add(comm, kSubEventTimer, T::kU16, rw, 0);

        const uint16_t map = MappingIndex(pdo);
        uint8_t count = 0;
        for (int sub = 1; sub <= kMaxMappedEntries; ++sub) {
            const uint32_t entry = sub <= 2 ? kDefaultMappings[pdo][sub - 1] : 0;
            if (entry != 0) ++count;
            od->Add(map, static_cast<uint8_t>(sub), T::kU32, rw, entry);
        }
        od->Add(map, 0, T::kU8, rw, count);
    }
}

bool IsTpdoObject(uint16_t index) {
    return (index >= kTpdoCommunicationBase && index < kTpdoCommunicationBase + kTpdoCount) ||
           (index >= kTpdoMappingBase && index < kTpdoMappingBase + kTpdoCount);
}

uint32_t CheckMappingEntry(const ObjectDictionary& od, uint32_t entry) {
    const auto index = static_cast<uint16_t>(entry >> 16);
    const auto subindex = static_cast<uint8_t>(entry >> 8);
    const uint32_t bits = entry & 0xFF;
    if (std::find(std::begin(kMappable), std::end(kMappable), index) == std::end(kMappable))
        return kAbortCannotMap;
    const ObjectEntry* object = od.Find(index, subindex);
    // The object goes whole into the PDO: its length, not a part of it.
    if (object == nullptr || bits != 8 * SizeOf(object->type)) return kAbortCannotMap;
    return 0;
}

uint32_t CheckTpdoWrite(const ObjectDictionary& od, uint16_t index, uint8_t subindex,
                        uint32_t value) {
    if (index >= kTpdoMappingBase && index < kTpdoMappingBase + kTpdoCount)
        return CheckMappingWrite(od, index - kTpdoMappingBase, subindex, value);
    if (index >= kTpdoCommunicationBase && index < kTpdoCommunicationBase + kTpdoCount)
        return CheckCommunicationWrite(od, index - kTpdoCommunicationBase, subindex, value);
    return 0;
}

codec::Data PackTpdo(const ObjectDictionary& od, int pdo) {
    codec::Data data{};
    const uint16_t map = MappingIndex(pdo);
    const uint32_t count = std::min<uint32_t>(od.GetUnsigned(map, 0), kMaxMappedEntries);
    uint32_t bit = 0;
    for (uint32_t sub = 1; sub <= count; ++sub) {
        const uint32_t entry = od.GetUnsigned(map, static_cast<uint8_t>(sub));
        const uint32_t bits = entry & 0xFF;
        const ObjectEntry* object =
            od.Find(static_cast<uint16_t>(entry >> 16), static_cast<uint8_t>(entry >> 8));
        // The object's bytes as it holds them: a signed value is already in two's complement.
        const uint64_t value = object == nullptr ? 0 : object->raw;
        for (uint32_t i = 0; i < bits && bit < kMaxMappedBits; ++i, ++bit) {
            if (((value >> i) & 1u) != 0) data[bit / 8] |= static_cast<uint8_t>(1u << (bit % 8));
        }
    }
    return data;
}

uint32_t TpdoTimers::PeriodUs(const ObjectDictionary& od, bool operational, int pdo) {
    if (!operational || !Valid(od, pdo)) return 0;
    const uint16_t comm = CommunicationIndex(pdo);
    const uint32_t type = od.GetUnsigned(comm, kSubTransmissionType);
    if (type != kTransmissionEventManufacturer && type != kTransmissionEventProfile) return 0;
    const uint32_t event_ms = od.GetUnsigned(comm, kSubEventTimer);
    if (event_ms == 0) return 0;
    // The inhibit time (100 us units) is the least time between two frames of the PDO.
    return std::max(event_ms * 1000u, od.GetUnsigned(comm, kSubInhibitTime) * 100u);
}

std::vector<codec::Frame> TpdoTimers::Advance(const ObjectDictionary& od, bool operational,
                                              double seconds) {
    std::vector<codec::Frame> frames;
    for (int pdo = 0; pdo < kTpdoCount; ++pdo) {
        const auto slot = static_cast<std::size_t>(pdo);
        const uint32_t period_us = PeriodUs(od, operational, pdo);
        const double period = period_us / 1e6;
        // A timer that starts, or whose period changes, runs one whole period from here.
        if (period_us != period_us_[slot]) due_[slot] = period;
        period_us_[slot] = period_us;
        if (period_us == 0) continue;
        due_[slot] -= seconds;
        if (due_[slot] > 1e-9) continue;
        due_[slot] += period;
        if (due_[slot] <= 1e-9) due_[slot] = period;  // stalled past a whole period
        const auto id =
            static_cast<uint16_t>(od.GetUnsigned(CommunicationIndex(pdo), kSubCobId) & kCanIdMask);
        frames.push_back(codec::MakeFrame(id, PackTpdo(od, pdo)));
    }
    return frames;
}

double TpdoTimers::SecondsToNext(const ObjectDictionary& od, bool operational) const {
    double next = -1.0;
    for (int pdo = 0; pdo < kTpdoCount; ++pdo) {
        const auto slot = static_cast<std::size_t>(pdo);
        const uint32_t period_us = PeriodUs(od, operational, pdo);
        if (period_us == 0) continue;
        const double left =
            period_us == period_us_[slot] ? std::max(0.0, due_[slot]) : period_us / 1e6;
        if (next < 0.0 || left < next) next = left;
    }
    return next;
}

}  // namespace orvex::sim
