// Output formatting: CiA 402 statusword decoding, modes, hex bytes and bus masks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orvex::cli {

// Statusword bits the CLI waits on.
constexpr std::uint16_t kStatusFault = 1u << 3;
constexpr std::uint16_t kStatusTargetReached = 1u << 10;
constexpr std::uint16_t kStatusSetPointAcknowledge = 1u << 12;  // profile position
constexpr std::uint16_t kStatusHomingAttained = 1u << 12;       // homing

// The CiA 402 power states.
enum class PowerState {
    kNotReadyToSwitchOn,
    kSwitchOnDisabled,
    kReadyToSwitchOn,
    kSwitchedOn,
    kOperationEnabled,
    kQuickStopActive,
    kFaultReactionActive,
    kFault,
    kUnknown,
};

// The power state that a full statusword shows.
PowerState StateOf(std::uint16_t statusword);
// "operation enabled", "fault", ...
std::string StateName(PowerState state);
std::string StateName(std::uint16_t statusword);

// The meaning of a CiA 301/402 error code (0x603F, an EMCY's first word): the exact code where
// it is a common one, else its class ("current", "voltage", ...).
std::string ErrorCodeMeaning(std::uint16_t code);
// The names of the bits set in the error register 0x1001 ("generic", "current", ...).
std::vector<std::string> ErrorRegisterBits(std::uint8_t error_register);
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
