#include "format.h"

#include <cstdio>

#include "codec.h"

namespace orvex::cli {

const codec::CodeTexts kLibraryTexts{
    [](unsigned statusword) { return Orvex_StateName(Orvex_DecodeState(statusword)); },
    Orvex_AbortText,
    Orvex_ErrorCodeText,
};

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
    return codec::Hex(bytes.data(), bytes.size());
}

std::string HexValue(std::uint32_t value, int bytes) {
    return codec::HexNumber(value, bytes);
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
