// Device control: enable, disable, quick stop, halt, fault reset and the NMT restart. Each reads
// the drive's state, writes what the state calls for and confirms the outcome through the
// statusword.
#include <iostream>

#include "commands.h"
#include "drive.h"
#include "format.h"
#include "orvex.h"
#include "port.h"

namespace orvex::cli {
namespace {

int EnableOneFrame(const Drive& drive) {
    drive.NoteSent("CMD_Enable_motor: controlword 0x6040:00 <- 0x000F");
    drive.port().Require(CMD_Enable_motor(drive.node()), "enable " + drive.name());
    std::cout << drive.name() << ": enable operation sent (controlword 0x000F, not confirmed)\n";
    return 0;
}

}  // namespace

int RunEnable(Arguments& args, const Connection& connection) {
    const bool one_frame = args.TakeFlag("--one-frame");
    args.ExpectEnd();
    Port port(connection);
    const Drive drive(port, connection.node, connection.verbose);
    if (one_frame) return EnableOneFrame(drive);
    const int written = drive.Enable();
    if (written == 0) {
        std::cout << drive.name() << ": operation already enabled (nothing written)\n";
    } else {
        std::cout << drive.name() << ": operation enabled (" << written
                  << (written == 1 ? " controlword" : " controlwords") << " written)\n";
    }
    return 0;
}

int RunDisable(Arguments& args, const Connection& connection) {
    args.ExpectEnd();
    Port port(connection);
    const Drive drive(port, connection.node, connection.verbose);
    const std::uint16_t before = drive.RequireNoFault();
    PowerState expected = PowerState::kSwitchedOn;
    if (StateOf(before) == PowerState::kOperationEnabled) {
        drive.WriteControlword(kControlSwitchOn, "disable operation");
    } else if (StateOf(before) == PowerState::kQuickStopActive) {
        drive.WriteControlword(kControlDisableVoltage, "disable voltage");
        expected = PowerState::kSwitchOnDisabled;
    } else {
        std::cout << drive.name() << ": operation already disabled (" << StateName(before)
                  << "; nothing written)\n";
        return 0;
    }
    bool reached = false;
    const std::uint16_t after = drive.AwaitStatus(
        [expected](std::uint16_t s) { return StateOf(s) == expected; }, kStepLimitMs, &reached);
    if (!reached) {
        if (InFault(after)) {
            drive.FailInFault(after);
        }
        throw Failure(drive.name() + " did not disable: still " + StateName(after) + " after " +
                      std::to_string(kStepLimitMs) + " ms");
    }
    std::cout << drive.name() << ": operation disabled, now " << StateName(after) << "\n";
    return 0;
}

int RunQuickStop(Arguments& args, const Connection& connection) {
    args.ExpectEnd();
    Port port(connection);
    const Drive drive(port, connection.node, connection.verbose);
    // A stop goes out first, whatever the state: reading it first would only delay it.
    drive.WriteControlword(kControlQuickStop, "quick stop");
    bool done = false;
    const std::uint16_t after = drive.AwaitStatus(
        [](std::uint16_t s) {
            const PowerState state = StateOf(s);
            return state == PowerState::kQuickStopActive ||
                   state == PowerState::kSwitchOnDisabled || state == PowerState::kFault;
        },
        kStepLimitMs, &done);
    if (InFault(after)) {
        drive.FailInFault(after);
    }
    if (!done) {
        throw Failure(drive.name() + " did not take the quick stop: still " + StateName(after) +
                      " after " + std::to_string(kStepLimitMs) + " ms");
    }
    std::cout << drive.name() << ": "
              << (StateOf(after) == PowerState::kQuickStopActive
                      ? "quick stop active ('orvex enable' brings it back)"
                      : "stopped, now switch on disabled ('orvex enable' brings it back)")
              << "\n";
    return 0;
}

int RunHalt(Arguments& args, const Connection& connection) {
    args.ExpectEnd();
    Port port(connection);
    const Drive drive(port, connection.node, connection.verbose);
    drive.NoteSent("PV_stop_motor: controlword 0x6040:00 <- 0x010F");
    port.Require(PV_stop_motor(connection.node), "halt " + drive.name());
    const std::uint16_t now = drive.ReadStatusword();
    if (InFault(now)) {
        drive.FailInFault(now);
    }
    if (StateOf(now) != PowerState::kOperationEnabled) {
        std::cout << drive.name() << ": halt sent; the drive is " << StateName(now)
                  << ", so it does not move\n";
        return 0;
    }
    // Halted, a drive sets target reached (bit 10) once it stands still.
    bool standing = false;
    const std::uint16_t after =
        drive.AwaitStatus([](std::uint16_t s) { return (s & kStatusTargetReached) != 0; },
                          kStandstillLimitMs, &standing);
    if (InFault(after)) {
        drive.FailInFault(after);
    }
    const int position = port.Position(connection.node);
    if (!standing) {
        throw Failure(drive.name() + " still moves " + std::to_string(kStandstillLimitMs / 1000) +
                      " s after the halt (position " + std::to_string(position) + ")");
    }
    std::cout << drive.name() << ": halted at position " << position << "\n";
    return 0;
}

int RunReset(Arguments& args, const Connection& connection) {
    args.ExpectEnd();
    Port port(connection);
    const Drive drive(port, connection.node, connection.verbose);
    const std::uint16_t before = drive.ReadStatusword();
    if (!InFault(before)) {
        std::cout << drive.name() << ": not in fault (" << StateName(before)
                  << "; nothing written)\n";
        return 0;
    }
    const FaultDetail fault = drive.ReadFault();
    // The reset is the rising edge of bit 7: low first, in case it is still high from before.
    drive.WriteControlword(kControlDisableVoltage, "bit 7 low");
    drive.WriteControlword(kControlFaultReset, "fault reset");
    bool cleared = false;
    const std::uint16_t after =
        drive.AwaitStatus([](std::uint16_t s) { return !InFault(s); }, kStepLimitMs, &cleared);
    if (!cleared) {
        throw Failure(drive.name() + " stays in fault after the reset: " +
                      DescribeFault(drive.ReadFault()) + " (is its cause still there?)");
    }
    std::cout << drive.name() << ": fault reset, " << DescribeFault(fault) << " cleared; now "
              << StateName(after) << " ('orvex enable' enables it)\n";
    return 0;
}

int RunRestart(Arguments& args, const Connection& connection) {
    args.ExpectEnd();
    Port port(connection);
    port.Require(CMD_Restart_motor(connection.node), "restart " + NodeName(connection.node));
    std::cout << NodeName(connection.node) << ": NMT reset communication sent\n";
    return 0;
}

}  // namespace orvex::cli
