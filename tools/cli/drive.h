// A drive as orvex commands it. The CiA 402 procedures (stepwise enable, fault reset, set-point
// handshake, waits, homing) are the library's; this class reads the state for messages, turns a
// procedure's failure into one line that names the state, the fault or the mode, and with
// --verbose says on stderr what it asks of the library and what the drive shows.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "drive_objects.h"
#include "format.h"
#include "port.h"

namespace orvex::cli {

// Time limits handed to the procedures.
constexpr int kStepLimitMs = 2000;         // a set-point handshake, a homing start
constexpr int kPowerLimitMs = 8000;        // a walk through the power states
constexpr int kStandstillLimitMs = 10000;  // a halted or quick-stopped drive coming to a stand

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

    // The whole statusword (0x6041), read with the library's state query.
    std::uint16_t ReadStatusword() const;
    // The power state as the library decodes it; the statusword through `statusword`.
    PowerState ReadState(std::uint16_t* statusword = nullptr) const;
    FaultDetail ReadFault() const;

    // Fails, naming the fault, its code and `orvex reset`, when the drive is in fault (or its
    // fault reaction); otherwise the statusword.
    std::uint16_t RequireNoFault() const;
    // As RequireNoFault, and fails unless operation is enabled: `action` is what needs it
    // ("move").
    std::uint16_t RequireOperationEnabled(const std::string& action) const;
    [[noreturn]] void FailInFault(std::uint16_t statusword) const;

    // Says on stderr (with --verbose) what orvex asks of the library.
    void Note(const std::string& text) const;
    // A procedure's result: returns when it is 1, otherwise throws one line that says why, read
    // from Orvex_LastResult and the drive's state. `action` reads "enable", `mode` is the mode
    // the procedure needed (0 for none).
    void Check(int result, const std::string& action, int mode = 0) const;

  private:
    [[noreturn]] void FailProcedure(int outcome, const std::string& action, int mode) const;

    const Port& port_;
    int node_;
    bool verbose_;
    mutable std::optional<std::uint16_t> last_shown_;  // --verbose prints a statusword once
};

// `orvex halt` and the modes' `stop`: halts a drive in operation enabled until it stands, and
// writes nothing to one in another state (halt with enable operation would switch it on).
int HaltDrive(const Drive& drive);

}  // namespace orvex::cli
