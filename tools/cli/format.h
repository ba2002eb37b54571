// Output formatting: CiA 402 statusword decoding, modes, hex bytes and bus masks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orvex::cli {

// Statusword bits the CLI waits on.
constexpr std::uint16_t kStatusFault = 1u << 3;
constexpr std::uint16_t kStatusTargetReached = 1u << 10;
constexpr std::uint16_t kStatusHomingAttained = 1u << 12;

// The CiA 402 power state of a full statusword ("operation enabled", "fault", ...).
std::string StateName(std::uint16_t statusword);
// The names of the bits set in `statusword`; bits 12 and 13 are named for `mode` (0x6061).
std::vector<std::string> StatusFlags(std::uint16_t statusword, int mode);
// "profile position", "homing", ... or "mode N".
std::string ModeName(int mode);

// "node 2"
std::string NodeName(int node);

std::string Join(const std::vector<std::string>& parts, const std::string& separator);
std::string HexBytes(const std::vector<std::uint8_t>& bytes);
// "0x0637" with as many digits as `bytes` bytes.
std::string HexValue(std::uint32_t value, int bytes);
// Drives whose bit is set (bit n-1 for drive n): "1, 3" or "none".
std::string DriveList(std::uint32_t mask);
// "[#######.....] 58%"
std::string ProgressBar(double fraction, int width);

}  // namespace orvex::cli
