// Output formatting: hex bytes, bus masks, progress bars.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "names.h"

namespace orvex::cli {

// The statusword, mode and bit names come from the tools' shared tables.
using codec::kStatusFault;
using codec::kStatusHomingAttained;
using codec::kStatusTargetReached;
using codec::ModeName;
using codec::StateName;
using codec::StatusFlags;

std::string Join(const std::vector<std::string>& parts, const std::string& separator);
std::string HexBytes(const std::vector<std::uint8_t>& bytes);
// "0x0637" with as many digits as `bytes` bytes.
std::string HexValue(std::uint32_t value, int bytes);
// Drives whose bit is set (bit n-1 for drive n): "1, 3" or "none".
std::string DriveList(std::uint32_t mask);
// "[#######.....] 58%"
std::string ProgressBar(double fraction, int width);

}  // namespace orvex::cli
