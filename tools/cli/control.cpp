// Device control: enable, disable, quick stop, halt, fault reset and the NMT restart. The
// library's procedures walk the drive and confirm each step; orvex reads the state before and
// after to say what happened.
#include <iostream>

#include "commands.h"
#include "drive.h"
#include "format.h"
#include "orvex.h"
#include "port.h"

namespace orvex::cli {
namespace {

int EnableOneFrame(const Drive& drive) {
    drive.Note("CMD_Enable_motor: controlword 0x6040:00 <- 0x000F");
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
    const PowerState before = drive.ReadState();
    if (before == PowerState::kOperationEnabled) {
        std::cout << drive.name() << ": operation already enabled (nothing written)\n";
        return 0;
    }
    drive.Note("Orvex_Enable: one transition at a time from " + std::string(StateName(before)));
    drive.Check(Orvex_Enable(drive.node(), kPowerLimitMs), "enable");
    drive.ReadState();
    std::cout << drive.name() << ": operation enabled (was " << StateName(before) << ")\n";
    return 0;
}

int RunDisable(Arguments& args, const Connection& connection) {
    args.ExpectEnd();
    Port port(connection);
    const Drive drive(port, connection.node, connection.verbose);
    const std::uint16_t before = drive.RequireNoFault();
    const PowerState state = StateOf(before);
    if (state != PowerState::kOperationEnabled && state != PowerState::kQuickStopActive) {
        std::cout << drive.name() << ": operation already disabled (" << StateName(before)
                  << "; nothing written)\n";
        return 0;
    }
    drive.Note("Orvex_Disable");
    drive.Check(Orvex_Disable(drive.node(), kStandstillLimitMs), "disable");
    std::cout << drive.name() << ": operation disabled, now " << StateName(drive.ReadState())
              << "\n";
    return 0;
}

int RunQuickStop(Arguments& args, const Connection& connection) {
    args.ExpectEnd();
    Port port(connection);
    const Drive drive(port, connection.node, connection.verbose);
    drive.Note("Orvex_QuickStop: controlword 0x6040:00 <- 0x0002, confirmed as 0x605A says");
    drive.Check(Orvex_QuickStop(drive.node(), kStandstillLimitMs), "quick stop");
    const PowerState after = drive.ReadState();
    std::cout << drive.name() << ": "
              << (after == PowerState::kQuickStopActive
                      ? "quick stop active ('orvex enable' brings it back)"
                      : "stopped, now " + std::string(StateName(after)) +
                            " ('orvex enable' brings it back)")
              << "\n";
    return 0;
}

int HaltDrive(const Drive& drive) {
    std::uint16_t statusword = 0;
    const PowerState state = drive.ReadState(&statusword);
    if (state == PowerState::kFault || state == PowerState::kFaultReactionActive) {
        drive.FailInFault(statusword);
    }
    if (state != PowerState::kOperationEnabled) {
        // Halt with enable operation would switch the drive on: nothing is written.
        std::cout << drive.name() << ": " << StateName(state)
                  << ", not operation enabled: it does not move (nothing written)\n";
        return 0;
    }
    drive.Note("Orvex_Halt: controlword 0x6040:00 <- 0x010F, until it stands");
    drive.Check(Orvex_Halt(drive.node(), kStandstillLimitMs), "halt");
    std::cout << drive.name() << ": halted at position " << drive.port().Position(drive.node())
              << "\n";
    return 0;
}

int RunHalt(Arguments& args, const Connection& connection) {
    args.ExpectEnd();
    Port port(connection);
    const Drive drive(port, connection.node, connection.verbose);
    return HaltDrive(drive);
}

int RunReset(Arguments& args, const Connection& connection) {
    args.ExpectEnd();
    Port port(connection);
    const Drive drive(port, connection.node, connection.verbose);
    const PowerState before = drive.ReadState();
    if (before != PowerState::kFault && before != PowerState::kFaultReactionActive) {
        std::cout << drive.name() << ": not in fault (" << StateName(before)
                  << "; nothing written)\n";
        return 0;
    }
    const FaultDetail fault = drive.ReadFault();
    unsigned cleared = 0;
    drive.Note("Orvex_ResetFault: rising edge of controlword bit 7");
    const int reset = Orvex_ResetFault(drive.node(), kPowerLimitMs, &cleared);
    if (reset != 1 && Orvex_LastResult() == ORVEX_DRIVE_FAULT) {
        throw Failure(drive.name() + " stays in fault after the reset: " +
                      DescribeFault(drive.ReadFault()) + " (is its cause still there?)");
    }
    drive.Check(reset, "reset the fault");
    FaultDetail shown = fault;
    if (shown.error_code) shown.error_code = static_cast<std::uint16_t>(cleared);
    std::cout << drive.name() << ": fault reset, " << DescribeFault(shown) << " cleared; now "
              << StateName(drive.ReadState()) << " ('orvex enable' enables it)\n";
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
