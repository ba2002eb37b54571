#include "codes.h"

#include <cstddef>
#include <initializer_list>

#include "orvex.h"

namespace orvex {
namespace {

struct Meaning {
    std::uint32_t code;
    const char* text;
    const char* unknown_member;  // for a class or group: a code of it that the table lacks
};

// A code of its own, and a class or group whose unknown members are shown with its name.
#define ORVEX_CODE(code, text) \
    { code, text, nullptr }
#define ORVEX_CLASS(code, text) \
    { code, text, text " (unknown code)" }

constexpr Meaning kAbortCodes[] = {
    ORVEX_CODE(0x05030000, "toggle bit not alternated"),
    ORVEX_CODE(0x05040000, "SDO protocol timed out"),
    ORVEX_CODE(0x05040001, "client/server command specifier not valid or unknown"),
    ORVEX_CODE(0x05040002, "invalid block size (block mode only)"),
    ORVEX_CODE(0x05040003, "invalid sequence number (block mode only)"),
    ORVEX_CODE(0x05040004, "CRC error (block mode only)"),
    ORVEX_CODE(0x05040005, "out of memory"),
    ORVEX_CODE(0x06010000, "unsupported access to an object"),
    ORVEX_CODE(0x06010001, "attempt to read a write only object"),
    ORVEX_CODE(0x06010002, "attempt to write a read only object"),
    ORVEX_CODE(0x06020000, "object does not exist in the object dictionary"),
    ORVEX_CODE(0x06040041, "object cannot be mapped to the PDO"),
    ORVEX_CODE(0x06040042,
               "the number and length of the objects to be mapped would exceed PDO length"),
    ORVEX_CODE(0x06040043, "general parameter incompatibility reason"),
    ORVEX_CODE(0x06040047, "general internal incompatibility in the device"),
    ORVEX_CODE(0x06060000, "access failed due to a hardware error"),
    ORVEX_CODE(0x06070010, "data type does not match, length of service parameter does not match"),
    ORVEX_CODE(0x06070012, "data type does not match, length of service parameter too high"),
    ORVEX_CODE(0x06070013, "data type does not match, length of service parameter too low"),
    ORVEX_CODE(0x06090011, "sub-index does not exist"),
    ORVEX_CODE(0x06090030, "invalid value for parameter (download only)"),
    ORVEX_CODE(0x06090031, "value of parameter written too high (download only)"),
    ORVEX_CODE(0x06090032, "value of parameter written too low (download only)"),
    ORVEX_CODE(0x06090036, "maximum value is less than minimum value"),
    ORVEX_CODE(0x060A0023, "resource not available: SDO connection"),
    ORVEX_CODE(0x08000000, "general error"),
    ORVEX_CODE(0x08000020, "data cannot be transferred or stored to the application"),
    ORVEX_CODE(0x08000021,
               "data cannot be transferred or stored to the application because of local "
               "control"),
    ORVEX_CODE(0x08000022,
               "data cannot be transferred or stored to the application because of the present "
               "device state"),
    ORVEX_CODE(0x08000023,
               "object dictionary dynamic generation fails or no object dictionary is present"),
    ORVEX_CODE(0x08000024, "no data available"),
};

// The classes an abort code's high byte names.
constexpr Meaning kAbortClasses[] = {
    {0x05, "SDO protocol", "unknown abort code of the SDO protocol class (0x05)"},
    {0x06, "object access", "unknown abort code of the object access class (0x06)"},
    {0x08, "general", "unknown abort code of the general class (0x08)"},
};

// Emergency error codes: the classes and groups with the codes of the communication and of the
// drive profile. A code ending in 000 names a class, one ending in 00 a group.
constexpr Meaning kErrorCodes[] = {
    ORVEX_CODE(0x0000, "error reset or no error"),
    ORVEX_CLASS(0x1000, "generic error"),
    ORVEX_CLASS(0x2000, "current"),
    ORVEX_CLASS(0x2100, "current, device input side"),
    ORVEX_CODE(0x2110, "short circuit/earth leakage (input)"),
    ORVEX_CODE(0x2120, "earth leakage (input)"),
    ORVEX_CODE(0x2130, "earth leakage phase L1"),
    ORVEX_CODE(0x2140, "earth leakage phase L2"),
    ORVEX_CODE(0x2150, "earth leakage phase L3"),
    ORVEX_CLASS(0x2200, "current inside the device"),
    ORVEX_CLASS(0x2300, "current, device output side"),
    ORVEX_CODE(0x2310, "continuous over current"),
    ORVEX_CODE(0x2320, "short circuit/earth leakage (motor-side)"),
    ORVEX_CODE(0x2330, "earth leakage (motor-side)"),
    ORVEX_CODE(0x2340, "short circuit (motor-side)"),
    ORVEX_CLASS(0x3000, "voltage"),
    ORVEX_CLASS(0x3100, "mains voltage"),
    ORVEX_CODE(0x3110, "mains over-voltage"),
    ORVEX_CODE(0x3120, "mains under-voltage"),
    ORVEX_CODE(0x3130, "phase failure"),
    ORVEX_CODE(0x3140, "mains frequency"),
    ORVEX_CLASS(0x3200, "voltage inside the device"),
    ORVEX_CODE(0x3210, "DC link over-voltage"),
    ORVEX_CODE(0x3220, "DC link under-voltage"),
    ORVEX_CODE(0x3230, "load error"),
    ORVEX_CLASS(0x3300, "output voltage"),
    ORVEX_CODE(0x3310, "output over-voltage"),
    ORVEX_CLASS(0x4000, "temperature"),
    ORVEX_CLASS(0x4100, "ambient temperature"),
    ORVEX_CODE(0x4110, "excess ambient temperature"),
    ORVEX_CODE(0x4120, "too low ambient temperature"),
    ORVEX_CLASS(0x4200, "device temperature"),
    ORVEX_CODE(0x4210, "excess temperature device"),
    ORVEX_CODE(0x4220, "too low temperature device"),
    ORVEX_CLASS(0x4300, "drive temperature"),
    ORVEX_CODE(0x4310, "excess temperature drive"),
    ORVEX_CODE(0x4320, "too low temperature drive"),
    ORVEX_CLASS(0x5000, "device hardware"),
    ORVEX_CLASS(0x5100, "supply"),
    ORVEX_CODE(0x5110, "supply low voltage"),
    ORVEX_CLASS(0x5400, "power section"),
    ORVEX_CLASS(0x5500, "data storage"),
    ORVEX_CLASS(0x6000, "device software"),
    ORVEX_CODE(0x6010, "software reset (watchdog)"),
    ORVEX_CLASS(0x6100, "internal software"),
    ORVEX_CLASS(0x6200, "user software"),
    ORVEX_CLASS(0x6300, "data set"),
    ORVEX_CODE(0x6320, "parameter error"),
    ORVEX_CLASS(0x7000, "additional modules"),
    ORVEX_CLASS(0x7100, "power"),
    ORVEX_CODE(0x7110, "brake chopper"),
    ORVEX_CODE(0x7111, "failure brake chopper"),
    ORVEX_CODE(0x7120, "motor"),
    ORVEX_CODE(0x7121, "motor blocked"),
    ORVEX_CODE(0x7122, "motor error or commutation malfunction"),
    ORVEX_CLASS(0x7300, "sensor"),
    ORVEX_CODE(0x7303, "resolver 1 fault"),
    ORVEX_CODE(0x7304, "resolver 2 fault"),
    ORVEX_CODE(0x7305, "incremental sensor 1 fault"),
    ORVEX_CODE(0x7306, "incremental sensor 2 fault"),
    ORVEX_CLASS(0x7500, "communication"),
    ORVEX_CLASS(0x8000, "monitoring"),
    ORVEX_CLASS(0x8100, "communication"),
    ORVEX_CODE(0x8110, "CAN overrun (objects lost)"),
    ORVEX_CODE(0x8120, "CAN in error passive mode"),
    ORVEX_CODE(0x8130, "life guard error or heartbeat error"),
    ORVEX_CODE(0x8140, "recovered from bus off"),
    ORVEX_CODE(0x8150, "CAN-ID collision"),
    ORVEX_CLASS(0x8200, "protocol error"),
    ORVEX_CODE(0x8210, "PDO not processed due to length error"),
    ORVEX_CODE(0x8220, "PDO length exceeded"),
    ORVEX_CODE(0x8230, "DAM MPDO not processed, destination object not available"),
    ORVEX_CODE(0x8240, "unexpected SYNC data length"),
    ORVEX_CODE(0x8250, "RPDO timeout"),
    ORVEX_CLASS(0x8300, "torque control"),
    ORVEX_CODE(0x8311, "excess torque"),
    ORVEX_CLASS(0x8400, "velocity speed controller"),
    ORVEX_CLASS(0x8500, "position controller"),
    ORVEX_CLASS(0x8600, "positioning controller"),
    ORVEX_CODE(0x8611, "following error"),
    ORVEX_CODE(0x8612, "reference limit"),
    ORVEX_CLASS(0x8700, "sync controller"),
    ORVEX_CLASS(0x9000, "external error"),
    ORVEX_CLASS(0xF000, "additional functions"),
    ORVEX_CLASS(0xFF00, "device specific"),
};

#undef ORVEX_CODE
#undef ORVEX_CLASS

template <std::size_t N>
const Meaning* find(const Meaning (&table)[N], std::uint32_t code) {
    for (const Meaning& entry : table)
        if (entry.code == code) return &entry;
    return nullptr;
}

}  // namespace

const char* result_text(int outcome) {
    switch (outcome) {
        case ORVEX_OK:
            return "success";
        case ORVEX_NO_PORT:
            return "no port is open";
        case ORVEX_SYSTEM_ERROR:
            return "the operating system refused an open, write or read";
        case ORVEX_TIMEOUT:
            return "no answer within the time limit";
        case ORVEX_SDO_ABORT:
            return "the drive refused the request with an SDO abort";
        case ORVEX_BAD_ARGUMENT:
            return "an argument was refused before anything was sent";
        case ORVEX_DRIVE_FAULT:
            return "the drive is in fault";
        case ORVEX_WRONG_STATE:
            return "the drive is not in the state or mode the call needs";
        case ORVEX_STATE_CHANGED:
            return "the drive left operation enabled, or was halted, meanwhile";
        case ORVEX_HOMING_ERROR:
            return "the drive reports a homing error";
        case ORVEX_VALUE_MISMATCH:
            return "a value read back differs from the one written";
        case ORVEX_CANCELLED:
            return "cancelled";
        default:
            return "unknown outcome";
    }
}

const char* abort_text(std::uint32_t code) {
    if (const Meaning* entry = find(kAbortCodes, code)) return entry->text;
    if (const Meaning* entry = find(kAbortClasses, code >> 24)) return entry->unknown_member;
    return "unknown abort code";
}

const char* error_code_text(std::uint32_t code) {
    if (code > 0xFFFF) return "not an error code (more than 16 bits)";
    if (const Meaning* entry = find(kErrorCodes, code)) return entry->text;
    // 0x0000 means no error only as itself: the 0x00xx codes form no class.
    for (std::uint32_t mask : {0xFF00u, 0xF000u}) {
        const std::uint32_t family = code & mask;
        if (family == 0) break;
        const Meaning* entry = find(kErrorCodes, family);
        if (entry != nullptr && entry->unknown_member != nullptr) return entry->unknown_member;
    }
    return "unknown error code";
}

}  // namespace orvex
