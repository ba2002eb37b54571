#include "format.h"

#include <cstdio>

namespace orvex::cli {

PowerState StateOf(std::uint16_t statusword) {
    // CiA 402 state coding: bits 0-3, 5 and 6 (mask 0x6F; 0x4F where bit 5 does not matter).
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

std::string StateName(PowerState state) {
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

std::string StateName(std::uint16_t statusword) {
    return StateName(StateOf(statusword));
}

std::string ErrorCodeMeaning(std::uint16_t code) {
    struct Known {
        std::uint16_t code;
        const char* meaning;
    };
    // CiA 402 codes a drive commonly reports.
    static const Known kKnown[] = {
        {0x0000, "no error"},
        {0x1000, "generic error"},
        {0x2310, "continuous over-current"},
        {0x2320, "short circuit"},
        {0x3210, "DC link over-voltage"},
        {0x3220, "DC link under-voltage"},
        {0x4210, "excess temperature device"},
        {0x4310, "excess temperature drive"},
        {0x5530, "data storage (non-volatile memory) error"},
        {0x7121, "motor blocked"},
        {0x7305, "incremental sensor 1 fault"},
        {0x8130, "CAN life guard or heartbeat error"},
        {0x8140, "CAN bus off, recovered"},
        {0x8400, "velocity speed controller error"},
        {0x8611, "following error"},
        {0x8612, "reference limit"},
        {0xFF00, "manufacturer specific"},
    };
    for (const Known& known : kKnown) {
        if (known.code == code) return known.meaning;
    }
    // Otherwise the class, from the high digits.
    struct Class {
        std::uint16_t mask;
        std::uint16_t value;
        const char* meaning;
    };
    static const Class kClasses[] = {
        {0xFF00, 0x1000, "generic error"},
        {0xF000, 0x2000, "current"},
        {0xF000, 0x3000, "voltage"},
        {0xF000, 0x4000, "temperature"},
        {0xF000, 0x5000, "device hardware"},
        {0xF000, 0x6000, "device software"},
        {0xF000, 0x7000, "additional modules"},
        {0xFF00, 0x8100, "communication"},
        {0xFF00, 0x8200, "protocol error"},
        {0xFF00, 0x8300, "torque control"},
        {0xFF00, 0x8400, "velocity control"},
        {0xFF00, 0x8500, "position control"},
        {0xFF00, 0x8600, "positioning control"},
        {0xFF00, 0x8700, "sync controller"},
        {0xFF00, 0x8800, "winding controller"},
        {0xF000, 0x8000, "monitoring"},
        {0xF000, 0x9000, "external error"},
        {0xFF00, 0xF000, "additional functions"},
        {0xFF00, 0xFF00, "manufacturer specific"},
    };
    for (const Class& error_class : kClasses) {
        if ((code & error_class.mask) == error_class.value) {
            return std::string(error_class.meaning) + " (class)";
        }
    }
    return "unknown error code";
}

std::vector<std::string> ErrorRegisterBits(std::uint8_t error_register) {
    static const char* const kNames[8] = {"generic",          "current",
                                          "voltage",          "temperature",
                                          "communication",    "device profile specific",
                                          "reserved (bit 6)", "manufacturer specific"};
    std::vector<std::string> bits;
    for (int bit = 0; bit < 8; ++bit) {
        if (error_register & (1u << bit)) bits.push_back(kNames[bit]);
    }
    return bits;
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

std::vector<std::string> StatusFlags(std::uint16_t statusword, int mode) {
    std::string bit12 = "mode specific (bit 12)";
    std::string bit13 = "mode specific (bit 13)";
    if (mode == 1) {
        bit12 = "set-point acknowledge";
        bit13 = "following error";
    } else if (mode == 3) {
        bit12 = "speed is zero";
        bit13 = "max slippage error";
    } else if (mode == 6) {
        bit12 = "homing attained";
        bit13 = "homing error";
    }
    const std::string names[16] = {"ready to switch on",
                                   "switched on",
                                   "operation enabled",
                                   "fault",
                                   "voltage enabled",
                                   "quick stop not active",  // bit 5 is low while one is active
                                   "switch on disabled",
                                   "warning",
                                   "manufacturer specific (bit 8)",
                                   "remote",
                                   "target reached",
                                   "internal limit active",
                                   bit12,
                                   bit13,
                                   "manufacturer specific (bit 14)",
                                   "manufacturer specific (bit 15)"};
    std::vector<std::string> flags;
    for (int bit = 0; bit < 16; ++bit) {
        if (statusword & (1u << bit)) flags.push_back(names[bit]);
    }
    return flags;
}

std::string NodeName(int node) {
    return "node " + std::to_string(node);
}

std::string Join(const std::vector<std::string>& parts, const std::string& separator) {
    std::string text;
    for (const std::string& part : parts) {
        if (!text.empty()) text += separator;
        text += part;
    }
    return text;
}

std::string HexBytes(const std::vector<std::uint8_t>& bytes) {
    std::string text;
    char byte[4];
    for (std::uint8_t b : bytes) {
        std::snprintf(byte, sizeof byte, "%02X", static_cast<unsigned>(b));
        if (!text.empty()) text += ' ';
        text += byte;
    }
    return text;
}

std::string HexValue(std::uint32_t value, int bytes) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", bytes * 2, static_cast<unsigned>(value));
    return text;
}

std::string DriveList(std::uint32_t mask) {
    std::vector<std::string> drives;
    for (int bit = 0; bit < 32; ++bit) {
        if (mask & (1u << bit)) drives.push_back(std::to_string(bit + 1));
    }
    return drives.empty() ? "none" : Join(drives, ", ");
}

std::string ProgressBar(double fraction, int width) {
    if (!(fraction >= 0)) fraction = 0;  // also NaN
    if (fraction > 1) fraction = 1;
    const int filled = static_cast<int>(fraction * width);
    std::string bar = "[" + std::string(static_cast<std::size_t>(filled), '#') +
                      std::string(static_cast<std::size_t>(width - filled), '.') + "] ";
    char percent[8];
    std::snprintf(percent, sizeof percent, "%3d%%", static_cast<int>(fraction * 100));
    return bar + percent;
}

}  // namespace orvex::cli
