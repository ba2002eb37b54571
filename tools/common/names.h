// Names of what the tools show: CiA 301/402 objects, the abort codes the tools send or test for,
// the CiA 402 statusword bits, modes of operation, the error register (0x1001) and NMT states and
// commands. What power states, abort codes and error codes mean is the library's (Orvex_StateName,
// Orvex_AbortText, Orvex_ErrorCodeText): the tools show its texts and keep no table of them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orvex::codec {

// ---- Objects

struct ObjectInfo {
    std::uint16_t index;
    std::uint8_t subindex;
    const char* name;
    int size;  // bytes
    bool is_signed;
};

// The entry for exactly `index`:`subindex`, or nullptr for an object the table lacks.
const ObjectInfo* FindObject(std::uint16_t index, std::uint8_t subindex);
// Its name, or nullptr.
const char* ObjectName(std::uint16_t index, std::uint8_t subindex);
// "0x6064:00"
std::string ObjectRefText(std::uint16_t index, std::uint8_t subindex);
// "0x6064:00 position actual value", or just the reference for an unknown object.
std::string DescribeObject(std::uint16_t index, std::uint8_t subindex);

// Object indexes the tools address by name.
constexpr std::uint16_t kDeviceType = 0x1000;
constexpr std::uint16_t kDeviceName = 0x1008;       // VISIBLE_STRING
constexpr std::uint16_t kHardwareVersion = 0x1009;  // VISIBLE_STRING
constexpr std::uint16_t kSoftwareVersion = 0x100A;  // VISIBLE_STRING
constexpr std::uint16_t kErrorRegister = 0x1001;
constexpr std::uint16_t kHeartbeatTime = 0x1017;
constexpr std::uint16_t kIdentity = 0x1018;  // sub 1 vendor, 2 product, 3 revision, 4 serial
constexpr std::uint16_t kErrorCode = 0x603F;
constexpr std::uint16_t kControlword = 0x6040;
constexpr std::uint16_t kStatusword = 0x6041;
constexpr std::uint16_t kModesOfOperation = 0x6060;
constexpr std::uint16_t kModesOfOperationDisplay = 0x6061;
constexpr std::uint16_t kPositionActual = 0x6064;

// The device profile number of a device type (0x1000): its low 16 bits, 402 for a drive.
constexpr std::uint16_t DeviceProfile(std::uint32_t device_type) {
    return static_cast<std::uint16_t>(device_type & 0xFFFF);
}
constexpr std::uint16_t kDriveProfile = 402;

// ---- SDO abort codes

constexpr std::uint32_t kAbortToggleBit = 0x05030000;
constexpr std::uint32_t kAbortTimedOut = 0x05040000;
constexpr std::uint32_t kAbortCommandSpecifier = 0x05040001;
constexpr std::uint32_t kAbortBlockSize = 0x05040002;
constexpr std::uint32_t kAbortSequence = 0x05040003;
constexpr std::uint32_t kAbortCrc = 0x05040004;
constexpr std::uint32_t kAbortOutOfMemory = 0x05040005;
constexpr std::uint32_t kAbortUnsupportedAccess = 0x06010000;
constexpr std::uint32_t kAbortWriteOnly = 0x06010001;
constexpr std::uint32_t kAbortReadOnly = 0x06010002;
constexpr std::uint32_t kAbortNoObject = 0x06020000;
constexpr std::uint32_t kAbortLengthMismatch = 0x06070010;
constexpr std::uint32_t kAbortLengthTooHigh = 0x06070012;
constexpr std::uint32_t kAbortLengthTooLow = 0x06070013;
constexpr std::uint32_t kAbortNoSubindex = 0x06090011;
constexpr std::uint32_t kAbortInvalidValue = 0x06090030;
constexpr std::uint32_t kAbortValueTooHigh = 0x06090031;
constexpr std::uint32_t kAbortValueTooLow = 0x06090032;
constexpr std::uint32_t kAbortGeneral = 0x08000000;
constexpr std::uint32_t kAbortDeviceState = 0x08000022;

// True for an abort that answers a download and never an upload (read-only, lengths, values).
bool AbortOnlyAWriteCauses(std::uint32_t code);

// ---- CiA 402 statusword

// Statusword bits the tools wait on.
constexpr std::uint16_t kStatusReadyToSwitchOn = 1u << 0;
constexpr std::uint16_t kStatusSwitchedOn = 1u << 1;
constexpr std::uint16_t kStatusOperationEnabled = 1u << 2;
constexpr std::uint16_t kStatusFault = 1u << 3;
constexpr std::uint16_t kStatusVoltageEnabled = 1u << 4;
constexpr std::uint16_t kStatusQuickStop = 1u << 5;  // low while a quick stop is active
constexpr std::uint16_t kStatusSwitchOnDisabled = 1u << 6;
constexpr std::uint16_t kStatusWarning = 1u << 7;
constexpr std::uint16_t kStatusRemote = 1u << 9;
constexpr std::uint16_t kStatusTargetReached = 1u << 10;
constexpr std::uint16_t kStatusInternalLimit = 1u << 11;
constexpr std::uint16_t kStatusSetPointAcknowledge = 1u << 12;  // profile position
constexpr std::uint16_t kStatusHomingAttained = 1u << 12;       // homing
constexpr std::uint16_t kStatusHomingError = 1u << 13;          // homing
constexpr std::uint16_t kStatusFollowingError = 1u << 13;       // profile position

// The name of statusword bit `bit` (0-15); bits 12 and 13 are named for `mode` (0x6061).
const char* StatusBitName(int bit, int mode);
// The names of the bits set in `statusword`, lowest first.
std::vector<std::string> StatusFlags(std::uint16_t statusword, int mode);

// ---- Modes of operation (0x6060 / 0x6061)

constexpr std::int8_t kModeProfilePosition = 1;
constexpr std::int8_t kModeProfileVelocity = 3;
constexpr std::int8_t kModeProfileTorque = 4;
constexpr std::int8_t kModeHoming = 6;

// "profile position", "homing", ... or "mode N".
std::string ModeName(int mode);

// ---- The error register (0x1001)

// "generic error", "current", ... for bits 0-7 of the error register.
const char* ErrorRegisterBitName(int bit);
std::vector<std::string> ErrorRegisterFlags(std::uint8_t error_register);

// ---- NMT

const char* NmtCommandName(std::uint8_t command);  // "start", "reset node", ...; nullptr if unknown
// The state a heartbeat reports ("operational", ...); bit 7 (the node guarding toggle) is ignored.
const char* NmtStateName(std::uint8_t state);  // nullptr if unknown

}  // namespace orvex::codec
