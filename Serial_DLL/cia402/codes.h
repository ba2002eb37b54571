// What the codes a host meets mean: the library's outcomes, SDO abort codes and the error codes a
// drive reports (0x603F, emergencies). One table of each; the tools and bindings show these texts
// through the exports (Orvex_ResultText, Orvex_AbortText, Orvex_ErrorCodeText). Pure code: every
// text is a static string.
#pragma once

#include <cstdint>

namespace orvex {

// SDO abort codes by name, for the code that sends or tests them.
namespace abort_code {
constexpr std::uint32_t kToggle = 0x05030000;
constexpr std::uint32_t kTimeout = 0x05040000;
constexpr std::uint32_t kCommand = 0x05040001;
constexpr std::uint32_t kBlockSize = 0x05040002;
constexpr std::uint32_t kSequence = 0x05040003;
constexpr std::uint32_t kCrc = 0x05040004;
constexpr std::uint32_t kOutOfMemory = 0x05040005;
constexpr std::uint32_t kLength = 0x06070010;
constexpr std::uint32_t kTooLong = 0x06070012;
constexpr std::uint32_t kTooShort = 0x06070013;
}  // namespace abort_code

// The outcome's meaning (ORVEX_OK ... ORVEX_CANCELLED), or a text that says the code is unknown.
const char* result_text(int outcome);
// The abort code's meaning; for a code the table lacks, a text that says so and names its class
// (the high byte) where that is known.
const char* abort_text(std::uint32_t code);
// The error code's meaning: its own entry, else (with a note that the code itself is unknown) its
// group's (high byte), else its class's (high nibble).
const char* error_code_text(std::uint32_t code);

}  // namespace orvex
