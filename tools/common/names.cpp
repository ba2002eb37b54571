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

struct AbortCode {
    std::uint32_t code;
    const char* meaning;
};

// CiA 301, SDO abort codes.
constexpr AbortCode kAbortCodes[] = {
    {0x05030000, "toggle bit not alternated"},
    {0x05040000, "SDO protocol timed out"},
    {0x05040001, "client/server command specifier not valid or unknown"},
    {0x05040002, "invalid block size"},
    {0x05040003, "invalid sequence number"},
    {0x05040004, "CRC error"},
    {0x05040005, "out of memory"},
    {0x06010000, "unsupported access to an object"},
    {0x06010001, "attempt to read a write-only object"},
    {0x06010002, "attempt to write a read-only object"},
    {0x06020000, "object does not exist"},
    {0x06040041, "object cannot be mapped to the PDO"},
    {0x06040042, "mapped objects would exceed the PDO length"},
    {0x06040043, "general parameter incompatibility"},
    {0x06040047, "general internal incompatibility in the device"},
    {0x06060000, "access failed due to a hardware error"},
    {0x06070010, "data type does not match, length of service parameter does not match"},
    {0x06070012, "data type does not match, length of service parameter too high"},
    {0x06070013, "data type does not match, length of service parameter too low"},
    {0x06090011, "subindex does not exist"},
    {0x06090030, "invalid value for parameter (download only)"},
    {0x06090031, "value of parameter written too high (download only)"},
    {0x06090032, "value of parameter written too low (download only)"},
    {0x06090036, "maximum value is less than minimum value"},
    {0x060A0023, "resource not available: SDO connection"},
    {0x08000000, "general error"},
    {0x08000020, "data cannot be transferred or stored to the application"},
    {0x08000021, "data cannot be transferred or stored because of local control"},
    {0x08000022, "data cannot be transferred or stored in the present device state"},
    {0x08000023, "object dictionary not present or dynamic generation failed"},
    {0x08000024, "no data available"},
};

struct ErrorCode {
    std::uint16_t code;
    const char* meaning;
};

// CiA 301 emergency error code classes and groups, and the CiA 402 drive codes among them. A code
// ending in 000 names a class, one ending in 00 a group.
constexpr ErrorCode kErrorCodes[] = {
    {0x0000, "no error (error reset)"},
    {0x1000, "generic error"},
    {0x2000, "current"},
    {0x2100, "current, device input side"},
    {0x2200, "current inside the device"},
    {0x2300, "current, device output side"},
    {0x2310, "continuous over current"},
    {0x2320, "short circuit or earth leakage"},
    {0x2330, "earth leakage"},
    {0x2340, "short circuit"},
    {0x3000, "voltage"},
    {0x3100, "mains voltage"},
    {0x3110, "mains over-voltage"},
    {0x3120, "mains under-voltage"},
    {0x3130, "phase failure"},
    {0x3200, "voltage inside the device"},
    {0x3210, "DC link over-voltage"},
    {0x3220, "DC link under-voltage"},
    {0x3300, "output voltage"},
    {0x4000, "temperature"},
    {0x4100, "ambient temperature"},
    {0x4200, "device temperature"},
    {0x4210, "excess temperature, device"},
    {0x4300, "drive temperature"},
    {0x4310, "excess temperature, drive"},
    {0x5000, "device hardware"},
    {0x5100, "supply voltage"},
    {0x5500, "data storage"},
    {0x6000, "device software"},
    {0x6100, "internal software"},
    {0x6200, "user software"},
    {0x6300, "data set"},
    {0x6320, "parameter error"},
    {0x7000, "additional modules"},
    {0x7100, "power"},
    {0x7110, "brake chopper"},
    {0x7120, "motor"},
    {0x7300, "sensor"},
    {0x7305, "incremental sensor 1 fault"},
    {0x7500, "communication"},
    {0x8000, "monitoring"},
    {0x8100, "communication"},
    {0x8110, "CAN overrun (objects lost)"},
    {0x8120, "CAN in error passive mode"},
    {0x8130, "life guard or heartbeat error"},
    {0x8140, "recovered from bus off"},
    {0x8150, "CAN-ID collision"},
    {0x8200, "protocol error"},
    {0x8210, "PDO not processed due to length error"},
    {0x8220, "PDO length exceeded"},
    {0x8300, "torque control"},
    {0x8311, "excess torque"},
    {0x8400, "velocity speed controller"},
    {0x8500, "position controller"},
    {0x8600, "positioning controller"},
    {0x8611, "following error"},
    {0x8612, "reference limit"},
    {0x8700, "sync controller"},
    {0x9000, "external error"},
    {0xF000, "additional functions"},
    {0xFF00, "device specific"},
};

const char* FindErrorCode(std::uint16_t code) {
    for (const ErrorCode& entry : kErrorCodes) {
        if (entry.code == code) return entry.meaning;
    }
    return nullptr;
}

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

const char* AbortCodeMeaning(std::uint32_t code) {
    for (const AbortCode& entry : kAbortCodes) {
        if (entry.code == code) return entry.meaning;
    }
    return nullptr;
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

PowerState DecodeState(std::uint16_t statusword) {
    // Bits 0-3, 5 and 6 (mask 0x6F; 0x4F where bit 5 does not matter).
    const unsigned sw = statusword;
    if ((sw & 0x4F) == 0x00) return PowerState::kNotReadyToSwitchOn;
    if ((sw & 0x4F) == 0x40) return PowerState::kSwitchOnDisabled;
    if ((sw & 0x6F) == 0x21) return PowerState::kReadyToSwitchOn;
    if ((sw & 0x6F) == 0x23) return PowerState::kSwitchedOn;
    if ((sw & 0x6F) == 0x27) return PowerState::kOperationEnabled;
    if ((sw & 0x6F) == 0x07) return PowerState::kQuickStopActive;
    if ((sw & 0x4F) == 0x0F) return PowerState::kFaultReactionActive;
    if ((sw & 0x4F) == 0x08) return PowerState::kFault;
    return PowerState::kUnknown;
}

const char* PowerStateName(PowerState state) {
    switch (state) {
        case PowerState::kNotReadyToSwitchOn:
            return "not ready to switch on";
        case PowerState::kSwitchOnDisabled:
            return "switch on disabled";
        case PowerState::kReadyToSwitchOn:
            return "ready to switch on";
        case PowerState::kSwitchedOn:
            return "switched on";
        case PowerState::kOperationEnabled:
            return "operation enabled";
        case PowerState::kQuickStopActive:
            return "quick stop active";
        case PowerState::kFaultReactionActive:
            return "fault reaction active";
        case PowerState::kFault:
            return "fault";
        case PowerState::kUnknown:
            break;
    }
    return "unknown state";
}

const char* StateName(std::uint16_t statusword) {
    return PowerStateName(DecodeState(statusword));
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

const char* ErrorCodeMeaning(std::uint16_t code) {
    for (std::uint16_t mask : {0xFFFF, 0xFF00, 0xF000}) {
        if (const char* meaning = FindErrorCode(static_cast<std::uint16_t>(code & mask))) {
            // 0x0000 means no error only as itself, not as the class of 0x00xx codes.
            if (mask != 0xFFFF && (code & mask) == 0) return nullptr;
            return meaning;
        }
    }
    return nullptr;
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
