// The simulated drive's electronic data sheet, written from its own object dictionary so that it
// cannot differ from what the drives serve.
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "drive_model.h"
#include "names.h"
#include "object_dictionary.h"

namespace orvex::sim {

namespace {

// CANopen data type numbers (CiA 301).
uint16_t DataType(ObjectType type) {
    switch (type) {
        case ObjectType::kI8:
            return 0x0002;
        case ObjectType::kI16:
            return 0x0003;
        case ObjectType::kI32:
            return 0x0004;
        case ObjectType::kU8:
            return 0x0005;
        case ObjectType::kU16:
            return 0x0006;
        case ObjectType::kU32:
            return 0x0007;
    }
    return 0x0007;
}
constexpr uint16_t kVisibleString = 0x0009;
constexpr uint16_t kDomainType = 0x000F;

struct Entry {
    uint8_t subindex;
    uint16_t data_type;
    Access access;
    std::string value;  // empty: none
};

std::string Hex(uint32_t value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, static_cast<unsigned>(value));
    return text;
}

// The power-on value as the EDS writes it: $NODEID+base where the value follows the node.
std::string NumberText(const ObjectEntry& entry, uint32_t other_node_raw) {
    if (other_node_raw != entry.raw && other_node_raw - entry.raw == 1) {
        return "$NODEID+" + Hex(entry.raw - 1, 1);
    }
    if (IsSigned(entry.type)) {
        const int shift = 32 - 8 * static_cast<int>(SizeOf(entry.type));
        const auto value = static_cast<int32_t>(entry.raw << shift) >> shift;
        return std::to_string(value);
    }
    return Hex(entry.raw, 1);
}

std::string Name(uint16_t index, uint8_t subindex, bool record) {
    static const std::map<uint16_t, const char*> kRecords = {
        {0x1018, "identity object"},
        {0x2001, "versions"},
        {0x2003, "LED control"},
        {0x6099, "homing speeds"},
    };
    if (record) {
        const auto it = kRecords.find(index);
        return it != kRecords.end() ? it->second : "object " + Hex(index, 4);
    }
    if (const char* name = codec::ObjectName(index, subindex)) return name;
    if (index == kTestDomainIndex && subindex == 0) return "data (DOMAIN)";
    if (subindex == 0 && kRecords.count(index) == 0) return "object " + Hex(index, 4);
    return subindex == 0 ? "highest sub-index supported" : "sub-index " + std::to_string(subindex);
}

void Variable(std::string* out, const std::string& section, const std::string& name,
              const Entry& entry) {
    *out += "[" + section + "]\nParameterName=" + name +
            "\nObjectType=0x7\nDataType=" + Hex(entry.data_type, 4) +
            "\nAccessType=" + (entry.access == Access::kReadOnly ? "ro" : "rw") + "\n";
    if (!entry.value.empty()) *out += "DefaultValue=" + entry.value + "\n";
    *out += "PDOMapping=0\n\n";
}

}  // namespace

std::string DriveEds() {
    // Drives as they power up: the values the model keeps (the statusword) are in place.
    const Drive one(1);
    const Drive two(2);
    const ObjectDictionary& od = one.dictionary();
    const ObjectDictionary& other = two.dictionary();
    std::map<uint16_t, std::vector<Entry>> objects;
    od.ForEach(
        [&](uint16_t index, uint8_t subindex, const ObjectEntry& entry) {
            const ObjectEntry* at_two = other.Find(index, subindex);
            objects[index].push_back(
                {subindex, DataType(entry.type), entry.access,
                 NumberText(entry, at_two != nullptr ? at_two->raw : entry.raw)});
        },
        [&](uint16_t index, uint8_t subindex, const ByteObject& bytes) {
            const bool text = bytes.type == ByteType::kVisibleString;
            objects[index].push_back(
                {subindex, text ? kVisibleString : kDomainType, bytes.access,
                 text ? std::string(bytes.data.begin(), bytes.data.end()) : std::string()});
        });

    const auto identity = [&](uint8_t subindex) {
        return Hex(od.GetUnsigned(0x1018, subindex), 8);
    };
    std::string out =
        "[FileInfo]\n"
        "FileName=orvex-sim.eds\n"
        "FileVersion=1\n"
        "FileRevision=0\n"
        "EDSVersion=4.0\n"
        "Description=The drive orvex-sim simulates (written by orvex-sim --write-eds)\n"
        "CreatedBy=orvex-sim\n"
        "\n"
        "[DeviceInfo]\n"
        "VendorName=orvex\n"
        "VendorNumber=" +
        identity(1) + "\nProductName=orvex-sim CiA 402 servo drive\nProductNumber=" + identity(2) +
        "\nRevisionNumber=" + identity(3) +
        "\n"
        "OrderCode=orvex-sim\n"
        "BaudRate_10=0\nBaudRate_20=0\nBaudRate_50=0\nBaudRate_125=1\nBaudRate_250=1\n"
        "BaudRate_500=1\nBaudRate_800=0\nBaudRate_1000=1\n"
        "SimpleBootUpMaster=0\nSimpleBootUpSlave=1\nGranularity=0\nDynamicChannelsSupported=0\n"
        "GroupMessaging=0\nNrOfRXPDO=0\nNrOfTXPDO=0\nLSS_Supported=0\n"
        "\n"
        "[DummyUsage]\n"
        "Dummy0001=0\nDummy0002=0\nDummy0003=0\nDummy0004=0\nDummy0005=0\nDummy0006=0\n"
        "Dummy0007=0\n"
        "\n";

    // The three lists of objects, then one section per object (and per sub-index of a record).
    const auto mandatory = [](uint16_t index) {
        return index == 0x1000 || index == 0x1001 || index == 0x1018;
    };
    const auto manufacturer = [](uint16_t index) { return index >= 0x2000 && index < 0x6000; };
    const char* const kLists[] = {"MandatoryObjects", "OptionalObjects", "ManufacturerObjects"};
    for (int list = 0; list < 3; ++list) {
        std::string lines;
        int count = 0;
        for (const auto& object : objects) {
            const int which = mandatory(object.first) ? 0 : (manufacturer(object.first) ? 2 : 1);
            if (which != list) continue;
            lines += std::to_string(++count) + "=" + Hex(object.first, 4) + "\n";
        }
        out += "[" + std::string(kLists[list]) + "]\nSupportedObjects=" + std::to_string(count) +
               "\n" + lines + "\n";
    }
    for (const auto& object : objects) {
        char section[8];
        std::snprintf(section, sizeof section, "%04X", static_cast<unsigned>(object.first));
        const std::vector<Entry>& entries = object.second;
        if (entries.size() == 1 && entries[0].subindex == 0) {
            Variable(&out, section, Name(object.first, 0, false), entries[0]);
            continue;
        }
        out += "[" + std::string(section) + "]\nParameterName=" + Name(object.first, 0, true) +
               "\nObjectType=0x9\nSubNumber=" + std::to_string(entries.size()) + "\n\n";
        for (const Entry& entry : entries) {
            char sub[16];
            std::snprintf(sub, sizeof sub, "%ssub%X", section,
                          static_cast<unsigned>(entry.subindex));
            Variable(&out, sub, Name(object.first, entry.subindex, false), entry);
        }
    }
    return out;
}

}  // namespace orvex::sim
