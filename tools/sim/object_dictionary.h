// Object dictionary of one simulated drive: typed entries addressed by index and subindex.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "names.h"

namespace orvex::sim {

enum class ObjectType { kU8, kI8, kU16, kI16, kU32, kI32 };
enum class Access { kReadOnly, kReadWrite };

// SDO abort codes the simulated servers answer with.
using codec::kAbortCommandSpecifier;
using codec::kAbortInvalidValue;
using codec::kAbortLengthMismatch;
using codec::kAbortLengthTooHigh;
using codec::kAbortLengthTooLow;
using codec::kAbortNoObject;
using codec::kAbortNoSubindex;
using codec::kAbortReadOnly;

std::size_t SizeOf(ObjectType type);
bool IsSigned(ObjectType type);

struct ObjectEntry {
    ObjectType type;
    Access access;
    uint32_t raw;  // the object's bytes, zero above its size
};

// An object longer than four bytes: a VISIBLE_STRING or a DOMAIN, held as bytes.
enum class ByteType { kVisibleString, kDomain };
struct ByteObject {
    Access access;
    std::size_t max_size;  // a download longer than this is refused
    std::vector<uint8_t> data;
    ByteType type = ByteType::kVisibleString;
};

// Largest DOMAIN the simulated drives hold.
constexpr std::size_t kMaxDomainBytes = 4096;
// The writable DOMAIN of every drive, for tests of transfers of any size. At power-up it holds
// kDomainPowerOnBytes bytes, byte i being i % 251.
constexpr uint16_t kTestDomainIndex = 0x2010;
constexpr std::size_t kDomainPowerOnBytes = 1024;

class ObjectDictionary {
  public:
    void Add(uint16_t index, uint8_t subindex, ObjectType type, Access access, uint32_t value);
    void AddBytes(uint16_t index, uint8_t subindex, Access access, std::size_t max_size,
                  const std::string& data, ByteType type = ByteType::kVisibleString);

    const ByteObject* FindBytes(uint16_t index, uint8_t subindex) const;
    // Replaces the bytes of an existing byte object.
    void SetBytes(uint16_t index, uint8_t subindex, std::vector<uint8_t> data);

    const ObjectEntry* Find(uint16_t index, uint8_t subindex) const;
    bool HasIndex(uint16_t index) const;

    // Abort code for a missing entry: unknown subindex when the index exists.
    uint32_t MissingEntryAbort(uint16_t index) const;

    // Stores the low bytes that the entry holds; the entry must exist.
    void Set(uint16_t index, uint8_t subindex, uint32_t value);
    uint32_t GetUnsigned(uint16_t index, uint8_t subindex) const;
    // Sign-extended from the entry's size when its type is signed.
    int32_t GetSigned(uint16_t index, uint8_t subindex) const;

    // Every entry in order of index and subindex: `number` for objects of up to four bytes,
    // `bytes` for longer ones.
    template <typename Numbers, typename Bytes>
    void ForEach(Numbers number, Bytes bytes) const {
        auto n = entries_.begin();
        auto b = byte_entries_.begin();
        while (n != entries_.end() || b != byte_entries_.end()) {
            if (b == byte_entries_.end() || (n != entries_.end() && n->first < b->first)) {
                number(static_cast<uint16_t>(n->first >> 8), static_cast<uint8_t>(n->first),
                       n->second);
                ++n;
            } else {
                bytes(static_cast<uint16_t>(b->first >> 8), static_cast<uint8_t>(b->first),
                      b->second);
                ++b;
            }
        }
    }

  private:
    static uint32_t Key(uint16_t index, uint8_t subindex) {
        return (static_cast<uint32_t>(index) << 8) | subindex;
    }
    std::map<uint32_t, ObjectEntry> entries_;
    std::map<uint32_t, ByteObject> byte_entries_;
};

// Every object a drive at `node` offers, with power-on values.
ObjectDictionary MakeDriveDictionary(int node);

// The electronic data sheet (an EDS, INI text) of the simulated drive, made from the dictionary
// of a drive as it powers up (values that follow the node number as $NODEID+...): every object
// with its type, access and power-on value, for CANopen tools that build their object
// dictionary from one. (Defined in eds.cpp.)
std::string DriveEds();

}  // namespace orvex::sim
