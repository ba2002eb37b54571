#include "names.h"

#include <cstdio>

namespace orvex::codec {
namespace {

// CiA 301 communication objects, CiA 402 drive objects, and this system's own (0x2001 version,
// 0x2003:14 LED, 0x3001-0x3003 bus summaries at node 0).
constexpr ObjectInfo kObjects[] = {
    {0x1000, 0, "device type", 4, false},
    {0x1001, 0, "error register", 1, false},
    {0x1008, 0, "manufacturer device name", 4, false},
    {0x1009, 0, "manufacturer hardware version", 4, false},
    {0x100A, 0, "manufacturer software version", 4, false},
    {0x1017, 0, "producer heartbeat time", 2, false},
    {0x1018, 0, "identity: number of entries", 1, false},
    {0x1018, 1, "identity: vendor-ID", 4, false},
    {0x1018, 2, "identity: product code", 4, false},
    {0x1018, 3, "identity: revision number", 4, false},
    {0x1018, 4, "identity: serial number", 4, false},
    {0x2001, 0, "version: number of entries", 1, false},
    {0x2001, 1, "firmware version", 2, false},
    {0x2003, 0x14, "LED", 4, false},
    {0x3001, 0, "drives enabled (bus summary)", 4, false},
    {0x3002, 0, "drives at target (bus summary)", 4, false},
    {0x3003, 0, "drives in fault (bus summary)", 4, false},
    {0x603F, 0, "error code", 2, false},
    {0x6040, 0, "controlword", 2, false},
    {0x6041, 0, "statusword", 2, false},
    {0x605A, 0, "quick stop option code", 2, true},
    {0x6060, 0, "modes of operation", 1, true},
    {0x6061, 0, "modes of operation display", 1, true},
    {0x6064, 0, "position actual value", 4, true},
    {0x606C, 0, "velocity actual value", 4, true},
    {0x6071, 0, "target torque", 2, true},
    {0x6077, 0, "torque actual value", 2, true},
    {0x607A, 0, "target position", 4, true},
    {0x607C, 0, "home offset", 4, true},
    {0x607F, 0, "max profile velocity", 4, false},
    {0x6081, 0, "profile velocity", 4, false},
    {0x6083, 0, "profile acceleration", 4, false},
    {0x6084, 0, "profile deceleration", 4, false},
    {0x6085, 0, "quick stop deceleration", 4, false},
    {0x6098, 0, "homing method", 1, true},
    {0x6099, 0, "homing speeds: number of entries", 1, false},
    {0x6099, 1, "homing speed: search for switch", 4, false},
    {0x6099, 2, "homing speed: search for zero", 4, false},
    {0x609A, 0, "homing acceleration", 4, false},
    {0x60FF, 0, "target velocity", 4, true},
    {0x6502, 0, "supported drive modes", 4, false},
};

}  // namespace

const ObjectInfo* FindObject(std::uint16_t index, std::uint8_t subindex) {
    for (const ObjectInfo& entry : kObjects) {
        if (entry.index == index && entry.subindex == subindex) return &entry;
    }
    return nullptr;
}

const char* ObjectName(std::uint16_t index, std::uint8_t subindex) {
    const ObjectInfo* entry = FindObject(index, subindex);
    return entry != nullptr ? entry->name : nullptr;
}

std::string ObjectRefText(std::uint16_t index, std::uint8_t subindex) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%04X:%02X", static_cast<unsigned>(index),
                  static_cast<unsigned>(subindex));
    return text;
}

std::string DescribeObject(std::uint16_t index, std::uint8_t subindex) {
    const char* name = ObjectName(index, subindex);
    return name != nullptr ? ObjectRefText(index, subindex) + " " + name
                           : ObjectRefText(index, subindex);
}

bool AbortOnlyAWriteCauses(std::uint32_t code) {
    switch (code) {
        case kAbortReadOnly:
        case kAbortLengthMismatch:
        case kAbortLengthTooHigh:
        case kAbortLengthTooLow:
        case kAbortInvalidValue:
        case kAbortValueTooHigh:
        case kAbortValueTooLow:
        case 0x06090036:  // maximum value is less than minimum value
            return true;
        default:
            return false;
    }
}

const char* StatusBitName(int bit, int mode) {
    if (bit == 12 || bit == 13) {
        const bool low = bit == 12;
        switch (mode) {
            case kModeProfilePosition:
                return low ? "set-point acknowledge" : "following error";
            case kModeProfileVelocity:
                return low ? "speed is zero" : "max slippage error";
            case kModeHoming:
                return low ? "homing attained" : "homing error";
            default:
                return low ? "mode specific (bit 12)" : "mode specific (bit 13)";
        }
    }
    static const char* const kNames[16] = {
        "ready to switch on",
        "switched on",
        "operation enabled",
        "fault",
        "voltage enabled",
        "quick stop not active",  // bit 5 is low while a quick stop is active
        "switch on disabled",
        "warning",
        "manufacturer specific (bit 8)",
        "remote",
        "target reached",
        "internal limit active",
        nullptr,
        nullptr,
        "manufacturer specific (bit 14)",
        "manufacturer specific (bit 15)"};
    return bit >= 0 && bit < 16 ? kNames[bit] : nullptr;
}

std::vector<std::string> StatusFlags(std::uint16_t statusword, int mode) {
    std::vector<std::string> flags;
    for (int bit = 0; bit < 16; ++bit) {
        if (statusword & (1u << bit)) flags.push_back(StatusBitName(bit, mode));
    }
    return flags;
}

std::string ModeName(int mode) {
    switch (mode) {
        case 0:
            return "no mode";
        case 1:
            return "profile position";
        case 3:
            return "profile velocity";
        case 4:
            return "profile torque";
        case 6:
            return "homing";
        case 7:
            return "interpolated position";
        case 8:
            return "cyclic synchronous position";
        case 9:
            return "cyclic synchronous velocity";
        case 10:
            return "cyclic synchronous torque";
        default:
            return "mode " + std::to_string(mode);
    }
}

const char* ErrorRegisterBitName(int bit) {
    static const char* const kNames[8] = {"generic error",
                                          "current",
                                          "voltage",
                                          "temperature",
                                          "communication error",
                                          "device profile specific",
                                          "reserved (bit 6)",
                                          "manufacturer specific"};
    return bit >= 0 && bit < 8 ? kNames[bit] : nullptr;
}

std::vector<std::string> ErrorRegisterFlags(std::uint8_t error_register) {
    std::vector<std::string> flags;
    for (int bit = 0; bit < 8; ++bit) {
        if (error_register & (1u << bit)) flags.push_back(ErrorRegisterBitName(bit));
    }
    return flags;
}

const char* NmtCommandName(std::uint8_t command) {
    switch (command) {
        case 0x01:
            return "start";
        case 0x02:
            return "stop";
        case 0x80:
            return "enter pre-operational";
        case 0x81:
            return "reset node";
        case 0x82:
            return "reset communication";
        default:
            return nullptr;
    }
}

const char* NmtStateName(std::uint8_t state) {
    switch (state & 0x7F) {
        case 0x00:
            return "boot-up";
        case 0x04:
            return "stopped";
        case 0x05:
            return "operational";
        case 0x7F:
            return "pre-operational";
        default:
            return nullptr;
    }
}

}  // namespace orvex::codec
