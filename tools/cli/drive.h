// A drive as orvex commands it: its CiA 402 state read through the statusword, controlword and
// object writes through SDO_Write, and each change confirmed by reading the statusword again.
// With --verbose every object written and every state read is printed on stderr.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "drive_objects.h"
#include "format.h"
#include "port.h"

namespace orvex::cli {

// Controlword values (CiA 402 device control commands).
constexpr std::uint16_t kControlDisableVoltage = 0x0000;
constexpr std::uint16_t kControlQuickStop = 0x0002;
constexpr std::uint16_t kControlShutdown = 0x0006;
constexpr std::uint16_t kControlSwitchOn = 0x0007;  // also "disable operation"
constexpr std::uint16_t kControlEnableOperation = 0x000F;
constexpr std::uint16_t kControlFaultReset = 0x0080;
constexpr std::uint16_t kControlHaltBit = 0x0100;
constexpr std::uint16_t kControlNewSetPointBit = 0x0010;

// How long one state transition may take before the drive is said to have refused it.
constexpr int kStepLimitMs = 2000;
// How long a halted drive may take to stand still.
constexpr int kStandstillLimitMs = 10000;

struct FaultDetail {
    std::optional<std::uint16_t> error_code;     // 0x603F, when the drive has it
    std::optional<std::uint8_t> error_register;  // 0x1001
};

// "error code 0x8611 (following error), error register 0x21 (generic, device profile
// specific)"; parts the drive lacks are left out.
std::string DescribeFault(const FaultDetail& fault);

class Drive {
  public:
    Drive(const Port& port, int node, bool verbose);

    int node() const { return node_; }
    const Port& port() const { return port_; }
    std::string name() const { return NodeName(node_); }

    // The whole statusword (0x6041, 2 bytes).
    std::uint16_t ReadStatusword() const;
    // The controlword as the drive holds it, when it can be read.
    std::optional<std::uint16_t> ReadControlword() const;
    FaultDetail ReadFault() const;

    void WriteControlword(std::uint16_t value, const char* command) const;
    void WriteObject(ObjectRef object, std::uint32_t value, int size, const char* what) const;
    // Notes a library command that writes several objects (for --verbose).
    void NoteSent(const std::string& text) const;

    // Polls the statusword until `done` holds or `limit_ms` pass; the last statusword read.
    std::uint16_t AwaitStatus(const std::function<bool(std::uint16_t)>& done, int limit_ms,
                              bool* held) const;

    // Fails, naming the fault, its code and `orvex reset`, when the drive is in fault (or its
    // fault reaction); otherwise the statusword.
    std::uint16_t RequireNoFault() const;
    // As RequireNoFault, and fails unless operation is enabled: `action` is what needs it
    // ("move").
    std::uint16_t RequireOperationEnabled(const std::string& action) const;
    [[noreturn]] void FailInFault(std::uint16_t statusword) const;

    // Brings the drive to operation enabled one transition at a time; the number of
    // controlwords written.
    int Enable() const;

  private:
    const Port& port_;
    int node_;
    bool verbose_;
    mutable std::optional<std::uint16_t> last_shown_;  // --verbose prints a statusword once
};

}  // namespace orvex::cli
