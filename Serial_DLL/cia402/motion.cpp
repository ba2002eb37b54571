// The motion procedures: a profile position move with the set-point handshake, waiting for the
// target (or homing) to be reached, homing, and the target torque written with its own size.
#include <climits>

#include "drive_link.h"
#include "procedure.h"

namespace orvex::cia402 {
namespace {

constexpr int kModeUnknown = INT_MIN;  // the drive does not show its mode

// Statusword and mode (0x6061) in one round trip, for a command that needs operation enabled in
// `mode`. kOk, or why the drive cannot take it (nothing has been written then).
Outcome require_enabled_in(const DriveLink& drive, int mode, std::uint16_t& statusword) {
    const ObjectEntry entries[] = {object::kStatusword, object::kModesOfOperationDisplay};
    std::uint32_t values[2] = {};
    Outcome results[2];
    const Outcome outcome = drive.read_together(entries, values, results, 2);
    if (outcome != Outcome::kOk) return outcome;
    statusword = static_cast<std::uint16_t>(values[0] & 0xFFFF);
    const Outcome state = require_enabled(statusword);
    if (state != Outcome::kOk) return state;
    return static_cast<std::int8_t>(values[1] & 0xFF) == mode ? Outcome::kOk : Outcome::kWrongState;
}

// Whether a drive that shows target reached stopped because it was halted, or (in homing) because
// homing is not running: then it did not reach what was asked of it.
Outcome stopped_short(const DriveLink& drive, bool homing, bool& short_of_target) {
    std::uint32_t controlword = 0;
    const Outcome outcome = drive.read(object::kControlword, controlword);
    short_of_target = false;
    if (outcome == Outcome::kSdoAbort) return Outcome::kOk;  // a drive that hides its controlword
    if (outcome != Outcome::kOk) return outcome;
    short_of_target = (controlword & command::kHalt) != 0 ||
                      (homing && (controlword & command::kNewSetPoint) == 0);
    return Outcome::kOk;
}

// Polls statusword and position (and, when `mode` is not known, the mode once) until the drive
// reports its target reached; see Orvex_WaitTarget. Each position read goes through `position`
// when it is not null.
Outcome wait_target(const DriveLink& drive, const Deadline& deadline, int mode, int* position) {
    const ObjectEntry entries[] = {object::kStatusword, object::kPositionActual,
                                   object::kModesOfOperationDisplay};
    for (;;) {
        const int count = mode == kModeUnknown ? 3 : 2;
        std::uint32_t values[3] = {};
        Outcome results[3] = {};
        Outcome outcome = drive.read_together(entries, values, results, count);
        if (results[0] != Outcome::kOk) return results[0];
        if (results[1] != Outcome::kOk) return results[1];
        if (count == 3 && results[2] != Outcome::kOk && results[2] != Outcome::kSdoAbort)
            return results[2];
        if (position != nullptr) *position = static_cast<std::int32_t>(values[1]);
        if (count == 3)
            mode = results[2] == Outcome::kOk ? static_cast<std::int8_t>(values[2] & 0xFF) : 0;
        const auto statusword = static_cast<std::uint16_t>(values[0] & 0xFFFF);
        outcome = while_enabled(statusword);
        if (outcome != Outcome::kOk) return outcome;
        if (drive.stopped()) return Outcome::kStateChanged;
        const bool homing = mode == kModeHoming;
        if (homing && (statusword & status::kModeBit13) != 0) return Outcome::kHomingError;
        if ((statusword & status::kTargetReached) != 0) {
            // Homing is done on homing attained with target reached; bit 10 alone means it stands.
            if (homing && (statusword & status::kModeBit12) != 0) return Outcome::kOk;
            bool short_of_target = false;
            outcome = stopped_short(drive, homing, short_of_target);
            if (outcome != Outcome::kOk) return outcome;
            if (short_of_target) return Outcome::kStateChanged;
            if (!homing) return Outcome::kOk;
        }
        if (deadline.expired()) return Outcome::kTimeout;
        deadline.pause(kPollMs);
        if (deadline.cancelled()) return Outcome::kCancelled;
    }
}

Outcome move_to(const DriveLink& drive, const Deadline& deadline, int position, int flags) {
    // Statusword, mode and controlword in one round trip, before anything is written.
    const ObjectEntry entries[] = {object::kStatusword, object::kModesOfOperationDisplay,
                                   object::kControlword};
    std::uint32_t values[3] = {};
    Outcome results[3] = {};
    drive.read_together(entries, values, results, 3);
    for (int i = 0; i < 2; ++i)
        if (results[i] != Outcome::kOk) return results[i];
    // A drive that hides its controlword: taken as not halted, bit 4 perhaps high.
    if (results[2] != Outcome::kOk && results[2] != Outcome::kSdoAbort) return results[2];
    const bool controlword_known = results[2] == Outcome::kOk;
    std::uint16_t statusword = static_cast<std::uint16_t>(values[0] & 0xFFFF);
    Outcome outcome = require_enabled(statusword);
    if (outcome != Outcome::kOk) return outcome;
    if (static_cast<std::int8_t>(values[1] & 0xFF) != kModeProfilePosition)
        return Outcome::kWrongState;
    const bool halted = controlword_known && (values[2] & command::kHalt) != 0;
    // What keeps the drive as it was found, with bit 4 low: halted if it was halted.
    const std::uint16_t as_found = command::kEnableOperation | (halted ? command::kHalt : 0);

    // Bit 4 low, so that the trigger below is a rising edge.
    if (!controlword_known || (values[2] & command::kNewSetPoint) != 0) {
        outcome = drive.write_controlword(as_found);
        if (outcome != Outcome::kOk) return outcome;
    }
    if ((statusword & status::kModeBit12) != 0) {
        // A set-point still waits in the drive: it takes a new one once bit 12 has fallen.
        outcome = drive.await(deadline, statusword, [](std::uint16_t s) {
            return (s & status::kModeBit12) == 0 || while_enabled(s) != Outcome::kOk;
        });
        if (outcome == Outcome::kOk) outcome = while_enabled(statusword);
        if (outcome != Outcome::kOk) return outcome;
    }
    outcome =
        drive.write(object::kTargetPosition, sdo::kDownload4, static_cast<std::uint32_t>(position));
    if (outcome != Outcome::kOk) return outcome;
    // The rising edge of bit 4. After a halt the new set-point replaces the halted move at once
    // (bit 5), and the halt ends with it: a queued one would first resume the halted move.
    std::uint16_t trigger = command::kEnableOperation | command::kNewSetPoint;
    if ((flags & ORVEX_MOVE_IMMEDIATE) != 0 || halted) trigger |= command::kChangeImmediately;
    if ((flags & ORVEX_MOVE_RELATIVE) != 0) trigger |= command::kRelative;
    outcome = drive.write_controlword(trigger);
    if (outcome != Outcome::kOk) return outcome;
    outcome = drive.await(deadline, statusword, [](std::uint16_t s) {
        return (s & status::kModeBit12) != 0 || while_enabled(s) != Outcome::kOk;
    });
    if (outcome == Outcome::kOk) outcome = while_enabled(statusword);
    // Bit 4 low again, so that the next move is an edge too; after a failure a drive that was
    // halted is halted again, so that it never runs toward a target of before. Only while the
    // drive showed operation enabled last and no stop has come: enable operation never undoes a
    // stop.
    if (outcome == Outcome::kStateChanged || outcome == Outcome::kDriveFault ||
        while_enabled(statusword) != Outcome::kOk)
        return outcome;
    const Outcome lowered =
        drive.write_controlword(outcome == Outcome::kOk ? command::kEnableOperation : as_found);
    return outcome != Outcome::kOk ? outcome : lowered;
}

Outcome home(const DriveLink& drive, int timeout_ms) {
    const Deadline deadline = procedure_deadline(timeout_ms);
    std::uint16_t statusword = 0;
    Outcome outcome = require_enabled_in(drive, kModeHoming, statusword);
    if (outcome != Outcome::kOk) return outcome;
    outcome = drive.write_controlword(command::kEnableOperation);
    if (outcome == Outcome::kOk)
        outcome = drive.write_controlword(command::kEnableOperation | command::kNewSetPoint);
    if (outcome != Outcome::kOk) return outcome;
    if (timeout_ms > 0) return wait_target(drive, deadline, kModeHoming, nullptr);
    outcome = drive.read_statusword(statusword);
    if (outcome != Outcome::kOk) return outcome;
    outcome = while_enabled(statusword);
    if (outcome != Outcome::kOk) return outcome;
    return (statusword & status::kModeBit13) != 0 ? Outcome::kHomingError : Outcome::kOk;
}

Outcome set_torque(const DriveLink& drive, int torque) {
    const auto wanted = static_cast<std::int16_t>(torque);
    Outcome outcome =
        drive.write(object::kTargetTorque, sdo::kDownload2, static_cast<std::uint16_t>(wanted));
    if (outcome != Outcome::kOk) return outcome;
    // The write is confirmed; the value read back tells a drive that kept another one.
    std::uint32_t held = 0;
    outcome = drive.read(object::kTargetTorque, held);
    if (outcome != Outcome::kOk) return outcome;
    return static_cast<std::int16_t>(held & 0xFFFF) == wanted ? Outcome::kOk
                                                              : Outcome::kValueMismatch;
}

}  // namespace
}  // namespace orvex::cia402

using namespace orvex;
using namespace orvex::cia402;

extern "C" {

int Orvex_MoveTo(int node, int position, int flags, int timeout_ms) {
    if (!valid_node(node) || !valid_timeout(timeout_ms) ||
        (flags & ~(ORVEX_MOVE_RELATIVE | ORVEX_MOVE_IMMEDIATE)) != 0)
        return finish(Outcome::kBadArgument);
    return finish(move_to(DriveLink(node), procedure_deadline(timeout_ms), position, flags));
}

int Orvex_WaitTarget(int node, int timeout_ms, int* position) {
    if (!valid_node(node) || !valid_timeout(timeout_ms)) return finish(Outcome::kBadArgument);
    return finish(
        wait_target(DriveLink(node), procedure_deadline(timeout_ms), kModeUnknown, position));
}

int Orvex_Home(int node, int timeout_ms) {
    if (!valid_node(node) || !valid_timeout(timeout_ms)) return finish(Outcome::kBadArgument);
    return finish(home(DriveLink(node), timeout_ms));
}

int Orvex_SetTorque(int node, int torque) {
    if (!valid_node(node) || torque < INT16_MIN || torque > INT16_MAX)
        return finish(Outcome::kBadArgument);
    return finish(set_torque(DriveLink(node), torque));
}

}  // extern "C"
