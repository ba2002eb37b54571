// The power-state procedures: state, enable, disable, quick stop, halt, fault reset. Each reads the
// whole statusword, writes one controlword per transition and confirms it before the next.
#include "../link/port_state.h"
#include "drive_link.h"
#include "procedure.h"

namespace orvex::cia402 {
namespace {

// More transitions than the walk up from any state takes: a drive that keeps falling back (another
// master, a fault) ends the walk instead of running it until the limit.
constexpr int kMostSteps = 8;

bool standing_or_left(std::uint16_t statusword, State state) {
    return decode_state(statusword) != state || (statusword & status::kTargetReached) != 0;
}

Outcome enable(const DriveLink& drive, const Deadline& deadline) {
    std::uint16_t statusword = 0;
    Outcome outcome = drive.read_statusword(statusword);
    for (int step = 0; outcome == Outcome::kOk && step < kMostSteps; ++step) {
        const State state = decode_state(statusword);
        std::uint16_t next = command::kEnableOperation;
        switch (state) {
            case State::kOperationEnabled:
                return Outcome::kOk;
            case State::kFault:
            case State::kFaultReactionActive:
                return Outcome::kDriveFault;
            case State::kUnknown:
                return Outcome::kWrongState;
            case State::kNotReadyToSwitchOn:
                // The drive leaves it by itself once its self-test is done.
                outcome = drive.await(deadline, statusword, [](std::uint16_t s) {
                    return decode_state(s) != State::kNotReadyToSwitchOn;
                });
                continue;
            case State::kSwitchOnDisabled:
                next = command::kShutdown;
                break;
            case State::kReadyToSwitchOn:
                next = command::kSwitchOn;
                break;
            case State::kSwitchedOn:
                next = command::kEnableOperation;
                break;
            case State::kQuickStopActive:
                // Disable voltage is the way out on every drive, but only once the quick stop
                // ramp has brought the motor to a stand: a braking motor is never cut loose.
                if (!standing_or_left(statusword, state)) {
                    outcome = drive.await(deadline, statusword, [](std::uint16_t s) {
                        return standing_or_left(s, State::kQuickStopActive);
                    });
                    if (outcome != Outcome::kOk || decode_state(statusword) != state) continue;
                }
                next = command::kDisableVoltage;
                break;
        }
        outcome = drive.write_controlword(next);
        if (outcome != Outcome::kOk) return outcome;
        outcome = drive.await(deadline, statusword,
                              [state](std::uint16_t s) { return decode_state(s) != state; });
    }
    return outcome == Outcome::kOk ? Outcome::kStateChanged : outcome;
}

// Writes `command` and waits until the drive leaves `from`; kOk when it went to `to`.
Outcome transition(const DriveLink& drive, const Deadline& deadline, std::uint16_t command,
                   State from, State to) {
    // Only disabling takes this way: a stop, ahead of other threads' waits.
    Outcome outcome = drive.write_controlword(command, Priority::kStop);
    if (outcome != Outcome::kOk) return outcome;
    std::uint16_t statusword = 0;
    outcome = drive.await(deadline, statusword,
                          [from](std::uint16_t s) { return decode_state(s) != from; });
    if (outcome != Outcome::kOk) return outcome;
    const State now = decode_state(statusword);
    if (now == to) return Outcome::kOk;
    return in_fault(now) ? Outcome::kDriveFault : Outcome::kStateChanged;
}

Outcome disable(const DriveLink& drive, const Deadline& deadline) {
    std::uint16_t statusword = 0;
    Outcome outcome = drive.read_statusword(statusword);
    if (outcome != Outcome::kOk) return outcome;
    switch (decode_state(statusword)) {
        case State::kFault:
        case State::kFaultReactionActive:
            return Outcome::kDriveFault;
        case State::kOperationEnabled:
            return transition(drive, deadline, command::kSwitchOn, State::kOperationEnabled,
                              State::kSwitchedOn);
        case State::kQuickStopActive:
            if (!standing_or_left(statusword, State::kQuickStopActive)) {
                outcome = drive.await(deadline, statusword, [](std::uint16_t s) {
                    return standing_or_left(s, State::kQuickStopActive);
                });
                if (outcome != Outcome::kOk) return outcome;
            }
            if (decode_state(statusword) != State::kQuickStopActive)
                return disable(drive, deadline);
            return transition(drive, deadline, command::kDisableVoltage, State::kQuickStopActive,
                              State::kSwitchOnDisabled);
        default:
            return Outcome::kOk;  // operation is not enabled: nothing to do
    }
}

Outcome quick_stop(const DriveLink& drive, const Deadline& deadline) {
    // The stop goes out first: reading the state before would only delay it.
    Outcome outcome = drive.write_controlword(command::kQuickStop, Priority::kStop);
    if (outcome != Outcome::kOk) return outcome;
    std::uint32_t raw = 0;
    int option = kDefaultQuickStopOption;
    outcome = drive.read(object::kQuickStopOptionCode, raw);
    if (outcome == Outcome::kOk) {
        option = static_cast<std::int16_t>(raw & 0xFFFF);
    } else if (outcome != Outcome::kSdoAbort) {
        return outcome;
    }
    // Options 0-4 end in switch on disabled; 5-8 stay in quick stop active, done once the motor
    // stands; a manufacturer's own option is taken either way.
    const bool may_stay = option < 0 || option > 4;
    std::uint16_t statusword = 0;
    outcome = drive.await(deadline, statusword, [may_stay](std::uint16_t s) {
        const State state = decode_state(s);
        return in_fault(state) || state == State::kSwitchOnDisabled ||
               (may_stay && state == State::kQuickStopActive && (s & status::kTargetReached) != 0);
    });
    if (outcome != Outcome::kOk) return outcome;
    return in_fault(decode_state(statusword)) ? Outcome::kDriveFault : Outcome::kOk;
}

Outcome halt(const DriveLink& drive, const Deadline& deadline) {
    std::uint16_t statusword = 0;
    Outcome outcome = drive.read_statusword(statusword);
    if (outcome != Outcome::kOk) return outcome;
    // Halt with enable operation would switch on a drive that is not enabled: refused.
    outcome = require_enabled(statusword);
    if (outcome != Outcome::kOk) return outcome;
    outcome = drive.write_controlword(command::kEnableOperation | command::kHalt, Priority::kStop);
    if (outcome != Outcome::kOk) return outcome;
    outcome = drive.await(deadline, statusword, [](std::uint16_t s) {
        return standing_or_left(s, State::kOperationEnabled);
    });
    return outcome == Outcome::kOk ? while_enabled(statusword) : outcome;
}

Outcome reset_fault(const DriveLink& drive, const Deadline& deadline, unsigned* cleared_code) {
    if (cleared_code != nullptr) *cleared_code = 0;
    std::uint16_t statusword = 0;
    Outcome outcome = drive.read_statusword(statusword);
    if (outcome != Outcome::kOk) return outcome;
    if (decode_state(statusword) == State::kFaultReactionActive) {
        // A fault reset is taken only in fault: the reaction is waited out first.
        outcome = drive.await(deadline, statusword, [](std::uint16_t s) {
            return decode_state(s) != State::kFaultReactionActive;
        });
        if (outcome != Outcome::kOk)
            return outcome == Outcome::kTimeout ? Outcome::kDriveFault : outcome;
    }
    if (decode_state(statusword) != State::kFault) return Outcome::kOk;
    std::uint32_t code = 0;
    outcome = drive.read(object::kErrorCode, code);
    if (outcome != Outcome::kOk && outcome != Outcome::kSdoAbort) return outcome;
    if (outcome == Outcome::kOk && cleared_code != nullptr) *cleared_code = code & 0xFFFF;
    // The rising edge of bit 7: low first, in case an earlier reset left it high, and held low
    // for a drive cycle, since a drive looks at its controlword once a cycle.
    outcome = drive.write_controlword(command::kDisableVoltage);
    if (outcome != Outcome::kOk) return outcome;
    Deadline::starting_now(kDriveCycleMs).pause(kDriveCycleMs);
    outcome = drive.write_controlword(command::kFaultReset);
    if (outcome != Outcome::kOk) return outcome;
    // The drive takes the reset on its next cycle: judged no sooner, whatever the limit.
    Deadline::starting_now(kDriveCycleMs).pause(kDriveCycleMs);
    if (deadline.cancelled()) return Outcome::kCancelled;
    outcome = drive.await(deadline, statusword,
                          [](std::uint16_t s) { return !in_fault(decode_state(s)); });
    // Still in fault at the limit: its cause is still there.
    return outcome == Outcome::kTimeout ? Outcome::kDriveFault : outcome;
}

}  // namespace
}  // namespace orvex::cia402

using namespace orvex;
using namespace orvex::cia402;

extern "C" {

int Orvex_GetState(int node, unsigned* statusword) {
    if (!valid_node(node)) {
        record(Outcome::kBadArgument);
        return -1;
    }
    std::uint16_t read = 0;
    const Outcome outcome = DriveLink(node).read_statusword(read);
    if (outcome != Outcome::kOk) {
        record(outcome);
        return -1;
    }
    if (statusword != nullptr) *statusword = read;
    record(Outcome::kOk);
    return static_cast<int>(decode_state(read));
}

int Orvex_Enable(int node, int timeout_ms) {
    if (!valid_node(node) || !valid_timeout(timeout_ms)) return finish(Outcome::kBadArgument);
    return finish(enable(DriveLink(node), procedure_deadline(timeout_ms)));
}

int Orvex_Disable(int node, int timeout_ms) {
    if (!valid_node(node) || !valid_timeout(timeout_ms)) return finish(Outcome::kBadArgument);
    return finish(disable(DriveLink(node), procedure_deadline(timeout_ms)));
}

int Orvex_QuickStop(int node, int timeout_ms) {
    if (!valid_node(node) || !valid_timeout(timeout_ms)) return finish(Outcome::kBadArgument);
    return finish(quick_stop(DriveLink(node), procedure_deadline(timeout_ms)));
}

int Orvex_Halt(int node, int timeout_ms) {
    if (!valid_node(node) || !valid_timeout(timeout_ms)) return finish(Outcome::kBadArgument);
    return finish(halt(DriveLink(node), procedure_deadline(timeout_ms)));
}

int Orvex_ResetFault(int node, int timeout_ms, unsigned* cleared_code) {
    if (!valid_node(node) || !valid_timeout(timeout_ms)) return finish(Outcome::kBadArgument);
    const Outcome outcome =
        reset_fault(DriveLink(node), procedure_deadline(timeout_ms), cleared_code);
    if (outcome == Outcome::kOk) forget_emergencies(node);
    return finish(outcome);
}

}  // extern "C"
