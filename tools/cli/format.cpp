#include "format.h"

#include <cstdio>

namespace orvex::cli {

std::string StateName(std::uint16_t statusword) {
    // CiA 402 state coding: bits 0-3, 5 and 6 (mask 0x6F; 0x4F where bit 5 does not matter).
    const unsigned sw = statusword;
    if ((sw & 0x4F) == 0x00) return "not ready to switch on";
    if ((sw & 0x4F) == 0x40) return "switch on disabled";
    if ((sw & 0x6F) == 0x21) return "ready to switch on";
    if ((sw & 0x6F) == 0x23) return "switched on";
    if ((sw & 0x6F) == 0x27) return "operation enabled";
    if ((sw & 0x6F) == 0x07) return "quick stop active";
    if ((sw & 0x4F) == 0x0F) return "fault reaction active";
    if ((sw & 0x4F) == 0x08) return "fault";
    return "unknown state";
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
                                   "quick stop off",  // bit 5 is low while a quick stop is active
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
