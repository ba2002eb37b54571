#include "object_dictionary.h"

#include <cassert>

#include "pdo.h"

namespace orvex::sim {

std::size_t SizeOf(ObjectType type) {
    switch (type) {
        case ObjectType::kU8:
        case ObjectType::kI8:
            return 1;
        case ObjectType::kU16:
        case ObjectType::kI16:
            return 2;
        case ObjectType::kU32:
        case ObjectType::kI32:
            return 4;
    }
    return 4;
}

bool IsSigned(ObjectType type) {
    return type == ObjectType::kI8 || type == ObjectType::kI16 || type == ObjectType::kI32;
}

namespace {

uint32_t MaskFor(ObjectType type) {
    const std::size_t size = SizeOf(type);
    return size >= 4 ? 0xFFFFFFFFu : ((1u << (8 * size)) - 1u);
}

}  // namespace

void ObjectDictionary::Add(uint16_t index, uint8_t subindex, ObjectType type, Access access,
                           uint32_t value) {
    entries_[Key(index, subindex)] = ObjectEntry{type, access, value & MaskFor(type)};
}

void ObjectDictionary::AddBytes(uint16_t index, uint8_t subindex, Access access,
                                std::size_t max_size, const std::string& data, ByteType type) {
    byte_entries_[Key(index, subindex)] =
        ByteObject{access, max_size, std::vector<uint8_t>(data.begin(), data.end()), type};
}

const ByteObject* ObjectDictionary::FindBytes(uint16_t index, uint8_t subindex) const {
    const auto it = byte_entries_.find(Key(index, subindex));
    return it == byte_entries_.end() ? nullptr : &it->second;
}

void ObjectDictionary::SetBytes(uint16_t index, uint8_t subindex, std::vector<uint8_t> data) {
    auto it = byte_entries_.find(Key(index, subindex));
    assert(it != byte_entries_.end());
    it->second.data = std::move(data);
}

const ObjectEntry* ObjectDictionary::Find(uint16_t index, uint8_t subindex) const {
    const auto it = entries_.find(Key(index, subindex));
    return it == entries_.end() ? nullptr : &it->second;
}

bool ObjectDictionary::HasIndex(uint16_t index) const {
    const auto it = entries_.lower_bound(Key(index, 0));
    if (it != entries_.end() && (it->first >> 8) == index) return true;
    const auto bytes = byte_entries_.lower_bound(Key(index, 0));
    return bytes != byte_entries_.end() && (bytes->first >> 8) == index;
}

uint32_t ObjectDictionary::MissingEntryAbort(uint16_t index) const {
    return HasIndex(index) ? kAbortNoSubindex : kAbortNoObject;
}

void ObjectDictionary::Set(uint16_t index, uint8_t subindex, uint32_t value) {
    auto it = entries_.find(Key(index, subindex));
    assert(it != entries_.end());
    it->second.raw = value & MaskFor(it->second.type);
}

uint32_t ObjectDictionary::GetUnsigned(uint16_t index, uint8_t subindex) const {
    const ObjectEntry* entry = Find(index, subindex);
    assert(entry != nullptr);
    return entry->raw;
}

int32_t ObjectDictionary::GetSigned(uint16_t index, uint8_t subindex) const {
    const ObjectEntry* entry = Find(index, subindex);
    assert(entry != nullptr);
    switch (entry->type) {
        case ObjectType::kI8:
            return static_cast<int8_t>(entry->raw & 0xFF);
        case ObjectType::kI16:
            return static_cast<int16_t>(entry->raw & 0xFFFF);
        default:
            return static_cast<int32_t>(entry->raw);
    }
}

ObjectDictionary MakeDriveDictionary(int node) {
    using T = ObjectType;
    constexpr Access ro = Access::kReadOnly;
    constexpr Access rw = Access::kReadWrite;
    ObjectDictionary od;
    od.Add(0x1000, 0, T::kU32, ro, 0x00020192);  // servo drive, CiA 402 device profile
    od.Add(0x1001, 0, T::kU8, ro, 0);
    // Names and versions as VISIBLE_STRINGs, longer than an expedited transfer carries.
    od.AddBytes(0x1008, 0, ro, 0, "orvex-sim CiA 402 servo drive");
    od.AddBytes(0x1009, 0, ro, 0, "sim board rev. B");
    od.AddBytes(0x100A, 0, ro, 0, "orvex-sim 1.3." + std::to_string(node));
    od.Add(0x1017, 0, T::kU16, rw, 0);  // heartbeat producer time, ms
    od.Add(0x1018, 0, T::kU8, ro, 4);
    od.Add(0x1018, 1, T::kU32, ro, 0x000005A1);                                 // vendor id
    od.Add(0x1018, 2, T::kU32, ro, 0x00004402);                                 // product code
    od.Add(0x1018, 3, T::kU32, ro, 0x00010003);                                 // revision
    od.Add(0x1018, 4, T::kU32, ro, 0x20240000u + static_cast<uint32_t>(node));  // serial
    od.Add(0x2001, 0, T::kU8, ro, 1);
    od.Add(0x2001, 1, T::kU16, ro, 0x0103);  // firmware version 1.3
    od.Add(0x2003, 0x14, T::kU32, rw, 0);    // LED control
    // A DOMAIN for tests, holding kDomainPowerOnBytes of a known pattern at power-up.
    std::string domain(kDomainPowerOnBytes, '\0');
    for (std::size_t i = 0; i < domain.size(); ++i) domain[i] = static_cast<char>(i % 251);
    od.AddBytes(kTestDomainIndex, 0, rw, kMaxDomainBytes, domain, ByteType::kDomain);
    od.Add(0x603F, 0, T::kU16, ro, 0);
    od.Add(0x6040, 0, T::kU16, rw, 0);
    od.Add(0x6041, 0, T::kU16, ro, 0);
    od.Add(0x6060, 0, T::kI8, rw, 0);
    od.Add(0x6061, 0, T::kI8, ro, 0);
    // Quick stop option 6: stop on the quick stop ramp and stay in quick stop active, from where
    // enable operation resumes (2 would end in switch on disabled instead).
    od.Add(0x605A, 0, T::kI16, rw, 6);
    od.Add(0x6064, 0, T::kI32, ro, 0);
    od.Add(0x606C, 0, T::kI32, ro, 0);
    od.Add(0x6071, 0, T::kI16, rw, 0);
    od.Add(0x6077, 0, T::kI16, ro, 0);
    od.Add(0x607A, 0, T::kI32, rw, 0);
    // Defaults let a move, a velocity run or a homing run work without any set-up.
    od.Add(0x607F, 0, T::kU32, rw, 50000);
    od.Add(0x6081, 0, T::kU32, rw, 10000);
    od.Add(0x6083, 0, T::kU32, rw, 50000);
    od.Add(0x6084, 0, T::kU32, rw, 50000);
    od.Add(0x6085, 0, T::kU32, rw, 200000);
    od.Add(0x6098, 0, T::kI8, rw, 17);
    od.Add(0x6099, 0, T::kU8, ro, 2);
    od.Add(0x6099, 1, T::kU32, rw, 2000);
    od.Add(0x6099, 2, T::kU32, rw, 500);
    od.Add(0x609A, 0, T::kU32, rw, 20000);
    od.Add(0x60FD, 0, T::kU32, ro, 0);  // digital inputs: none active
    od.Add(0x60FF, 0, T::kI32, rw, 0);
    od.Add(0x6502, 0, T::kU32, ro, 0x2D);  // profile position, velocity, torque, homing
    AddTpdoObjects(&od, node);
    return od;
}

}  // namespace orvex::sim
