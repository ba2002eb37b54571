// The operating modes (profile position, profile velocity, homing, profile torque) and following
// a drive until it is done. The library's procedures make the set-point handshake and the homing
// start and tell when the target is reached; orvex follows a motion with one wait of the whole
// limit, which Ctrl-C (SIGTERM) cancels at once: a motion it follows is halted first.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <optional>

#include "commands.h"
#include "drive.h"
#include "format.h"
#include "interrupt.h"
#include "orvex.h"
#include "port.h"
#include "progress.h"

namespace orvex::cli {
namespace {

constexpr int kPollMs = 50;  // the pace of `pv run`'s progress line
constexpr double kDefaultTimeoutSeconds = 30.0;
constexpr double kMaxTimeoutSeconds = ORVEX_MAX_WAIT_MS / 1000.0;

class Stopwatch {
  public:
    double seconds() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    }

  private:
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

std::string Seconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", seconds);
    return text;
}

// --timeout S: the limit of a followed wait, which the library takes up to one hour.
double TakeTimeout(Arguments& args) {
    const auto timeout = args.TakeValue("--timeout");
    if (!timeout) return kDefaultTimeoutSeconds;
    const double seconds = ParseSeconds(*timeout, "--timeout", args.topic());
    if (!(seconds > 0 && seconds <= kMaxTimeoutSeconds)) {
        throw UsageError("--timeout must be more than 0 and at most " +
                             std::to_string(static_cast<int>(kMaxTimeoutSeconds)) + " seconds",
                         args.topic());
    }
    return seconds;
}

// Halts the drive after an interrupt (only a drive in operation enabled gets the halt) and says
// so; the exit status.
int HaltAfterInterrupt(const Drive& drive, const Interrupted& interrupted, ProgressLine& progress) {
    progress.Break();
    drive.Note("Orvex_Halt after the interrupt");
    Orvex_Halt(drive.node(), 0);
    const int position = GetPosition(drive.node());
    std::cerr << "orvex: interrupted; halt sent to " << drive.name();
    if (Orvex_LastResult() == ORVEX_OK) std::cerr << " at position " << position;
    std::cerr << "\n";
    return interrupted.exit_status();
}

// What a followed wait shows: a line as it starts, and one for the position it ends at.
struct Progress {
    std::string under_way;
    std::function<std::string(int position)> done;
};

// Follows the motion with one Orvex_WaitTarget over the whole limit: 0 when the drive reports its
// target, Failure when the limit passes or the drive fails, or on Ctrl-C (the wait is cancelled)
// the interrupt's exit status once the drive is halted. `position` is the last position read.
int FollowWait(const Drive& drive, const std::string& action, const Progress& shown, double timeout,
               double* took, int* position) {
    ProgressLine progress;
    const Stopwatch watch;
    try {
        progress.Update(shown.under_way, 0);
        ThrowIfInterrupted();  // a signal before the wait began would not cancel it
        const int limit_ms = static_cast<int>(std::ceil(timeout * 1000));
        const int reached = Orvex_WaitTarget(drive.node(), limit_ms, position);
        if (reached == 1) {
            *took = watch.seconds();
            progress.Finish(shown.done(*position));
            return 0;
        }
        ThrowIfInterrupted();
        progress.Break();
        if (Orvex_LastResult() == ORVEX_TIMEOUT) {
            throw Failure(drive.name() + " did not " + action + " within " + Seconds(timeout) +
                          " (position " + std::to_string(*position) +
                          "); it is still under way, 'orvex halt' stops it");
        }
        drive.Check(0, action);
        return 1;  // not reached: Check throws
    } catch (const Interrupted& interrupted) {
        return HaltAfterInterrupt(drive, interrupted, progress);
    }
}

// Unsigned 32-bit objects (speeds, accelerations) take no negative values.
std::uint32_t TakeUnsigned(Arguments& args, const char* name) {
    return static_cast<std::uint32_t>(
        ParseInteger(args.Next(name), name, 0, 0xFFFFFFFFLL, args.topic()));
}

// The mode set-ups: the library's, which write no controlword and so switch no drive on, in any
// state; each write confirmed (a refusal names its abort).
void SetMode(const Drive& drive, int mode) {
    drive.Note("Orvex_SetMode: 0x6060:00 <- " + std::to_string(mode) + ", shown in 0x6061:00");
    drive.Check(Orvex_SetMode(drive.node(), mode, kStepLimitMs),
                "take mode " + std::to_string(mode));
}

// Orvex_SetProfile writes the profile velocity 0x6081, which profile velocity mode does not use:
// there it gets the value it holds.
void SetRamps(const Drive& drive, std::uint32_t profile_velocity, std::uint32_t acceleration,
              std::uint32_t deceleration) {
    drive.Note("Orvex_SetProfile: 0x6081:00 <- " + std::to_string(profile_velocity) +
               ", 0x6083:00 <- " + std::to_string(acceleration) + ", 0x6084:00 <- " +
               std::to_string(deceleration));
    drive.Check(Orvex_SetProfile(drive.node(), static_cast<int>(profile_velocity), acceleration,
                                 deceleration),
                "take the profile");
}

void SetVelocity(const Drive& drive, int velocity) {
    drive.Note("Orvex_SetVelocity: 0x60FF:00 <- " + std::to_string(velocity));
    drive.Check(Orvex_SetVelocity(drive.node(), velocity), "take the velocity");
}

// Profile velocity mode with this velocity and ramps.
void SetUpVelocity(const Drive& drive, int velocity, std::uint32_t acceleration,
                   std::uint32_t deceleration) {
    SetMode(drive, codec::kModeProfileVelocity);
    SetRamps(drive, drive.port().Read(drive.node(), kProfileVelocity, 4), acceleration,
             deceleration);
    SetVelocity(drive, velocity);
}

int RunPpSet(Arguments& args, const Connection& connection) {
    const std::uint32_t velocity = TakeUnsigned(args, "VEL");
    const std::uint32_t acceleration = TakeUnsigned(args, "ACC");
    const std::uint32_t deceleration = TakeUnsigned(args, "DEC");
    args.ExpectEnd();
    Port port(connection);
    const Drive drive(port, connection.node, connection.verbose);
    SetMode(drive, codec::kModeProfilePosition);
    SetRamps(drive, velocity, acceleration, deceleration);
    std::cout << drive.name() << ": profile position set, velocity " << velocity
              << ", acceleration " << acceleration << ", deceleration " << deceleration << "\n";
    return 0;
}

int RunPpTarget(Arguments& args, const Connection& connection) {
    const int position = ParseInt32(args.Next("POS"), "POS", args.topic());
    args.ExpectEnd();
    Port port(connection);
    const Drive drive(port, connection.node, connection.verbose);
    drive.Note("PP_Abs_move_enhance: target 0x607A:00 <- " + std::to_string(position));
    port.Require(PP_Abs_move_enhance(drive.node(), position), "set the target of " + drive.name());
    std::cout << drive.name() << ": target " << position
              << " written (no new set-point is triggered)\n";
    return 0;
}

// `pp stop`, `pv stop`, `home stop`, `torque stop`: `orvex halt`.
int RunStop(Arguments& args, const Connection& connection) {
    args.ExpectEnd();
    Port port(connection);
    const Drive drive(port, connection.node, connection.verbose);
    return HaltDrive(drive);
}

int RunPpMove(Arguments& args, const Connection& connection) {
    const bool relative = args.TakeFlag("--relative");
    const bool after = args.TakeFlag("--after");
    const bool wait = args.TakeFlag("--wait");
    const double timeout = TakeTimeout(args);
    const int position = ParseInt32(args.Next("POS"), "POS", args.topic());
    args.ExpectEnd();
    const int node = connection.node;
    Port port(connection);
    const Drive drive(port, node, connection.verbose);
    // The start is read first so that the progress bar and a relative target are measured from it.
    const int start = wait || relative ? port.Position(node) : 0;
    const long long target_wide = relative ? static_cast<long long>(start) + position : position;
    const int target = static_cast<int>(target_wide);
    const int flags = (relative ? ORVEX_MOVE_RELATIVE : 0) | (after ? 0 : ORVEX_MOVE_IMMEDIATE);
    drive.Note("Orvex_MoveTo: " + std::to_string(position) + (relative ? " relative" : "") +
               (after ? ", after the move under way" : ", at once") +
               " (set-point handshake: bit 4 low, target, rising edge, acknowledge, bit 4 low)");
    // Followed, a move that the handshake started is halted on an interrupt.
    try {
        drive.Check(Orvex_MoveTo(node, position, flags, kStepLimitMs), "move",
                    codec::kModeProfilePosition);
    } catch (const Interrupted& interrupted) {
        if (!wait) throw;
        ProgressLine progress;
        return HaltAfterInterrupt(drive, interrupted, progress);
    }
    if (!wait) {
        std::cout << drive.name() << ": moving to " << target
                  << (relative ? " (relative " + std::to_string(position) + ")" : "")
                  << "; the drive took the set-point\n";
        return 0;
    }
    Progress shown;
    shown.under_way =
        ProgressBar(0, 30) + "  pos " + std::to_string(start) + " -> " + std::to_string(target);
    shown.done = [target](int at) {
        return ProgressBar(1, 30) + "  pos " + std::to_string(at) + " -> " + std::to_string(target);
    };
    double took = 0;
    int at = start;
    const int status =
        FollowWait(drive, "reach " + std::to_string(target), shown, timeout, &took, &at);
    if (status != 0) return status;
    std::cout << drive.name() << ": target " << target << " reached in " << Seconds(took)
              << ", position " << at << "\n";
    return 0;
}

// `pv set`: a drive in operation enabled is halted first (until it stands), so that the new
// velocity waits for `pv start`; one in any other state gets no halt (Orvex_Halt writes nothing to
// it) and stays as it is.
int RunPvSet(Arguments& args, const Connection& connection) {
    const int velocity = ParseInt32(args.Next("VEL"), "VEL", args.topic());
    const std::uint32_t acceleration = TakeUnsigned(args, "ACC");
    const std::uint32_t deceleration = TakeUnsigned(args, "DEC");
    args.ExpectEnd();
    Port port(connection);
    const Drive drive(port, connection.node, connection.verbose);
    drive.Note("Orvex_Halt (where operation is enabled)");
    const bool halted = Orvex_Halt(drive.node(), kStandstillLimitMs) == 1;
    const int outcome = Orvex_LastResult();
    if (!halted && outcome != ORVEX_WRONG_STATE && outcome != ORVEX_DRIVE_FAULT)
        drive.Check(0, "halt");
    SetUpVelocity(drive, velocity, acceleration, deceleration);
    std::cout << drive.name() << ": profile velocity set"
              << (halted ? " (halted; 'orvex pv start' runs it)"
                         : " (not enabled: it does not run)")
              << ", velocity " << velocity << ", acceleration " << acceleration << ", deceleration "
              << deceleration << "\n";
    return 0;
}

int RunPvSpeed(Arguments& args, const Connection& connection) {
    const int velocity = ParseInt32(args.Next("VEL"), "VEL", args.topic());
    args.ExpectEnd();
    Port port(connection);
    const Drive drive(port, connection.node, connection.verbose);
    SetVelocity(drive, velocity);
    std::cout << drive.name() << ": target velocity " << velocity << "\n";
    return 0;
}

int RunPvStart(Arguments& args, const Connection& connection) {
    args.ExpectEnd();
    Port port(connection);
    const Drive drive(port, connection.node, connection.verbose);
    drive.RequireOperationEnabled("run");
    drive.Note("PV_start_motor: controlword 0x6040:00 <- 0x000F");
    port.Require(PV_start_motor(drive.node()), "start " + drive.name());
    std::cout << drive.name() << ": started (controlword 0x000F)\n";
    return 0;
}

// Halts a drive that was left running and waits until it stands; the position then.
int HaltAndAwaitStandstill(const Drive& drive, bool* standing) {
    drive.Note("Orvex_Halt");
    *standing = Orvex_Halt(drive.node(), kStandstillLimitMs) == 1;
    ThrowIfInterrupted();
    if (!*standing && Orvex_LastResult() != ORVEX_TIMEOUT) drive.Check(0, "halt");
    return drive.port().Position(drive.node());
}

int RunPvRun(Arguments& args, const Connection& connection) {
    const auto run_for = args.TakeValue("--for");
    const auto acc_word = args.TakeValue("--acc");
    const auto dec_word = args.TakeValue("--dec");
    const int node = connection.node;
    const int velocity = ParseInt32(args.Next("VEL"), "VEL", args.topic());
    const double seconds = run_for ? ParseSeconds(*run_for, "--for", args.topic()) : -1;
    auto parse_rate = [&](const std::optional<std::string>& word, const char* name) {
        return word ? static_cast<std::uint32_t>(
                          ParseInteger(*word, name, 0, 0xFFFFFFFFLL, args.topic()))
                    : 10000u;
    };
    const std::uint32_t acceleration = parse_rate(acc_word, "--acc");
    const std::uint32_t deceleration = parse_rate(dec_word, "--dec");
    args.ExpectEnd();
    Port port(connection);
    const Drive drive(port, node, connection.verbose);
    // The start below writes enable operation, which would switch on a drive that is not enabled.
    drive.RequireOperationEnabled("run");
    SetUpVelocity(drive, velocity, acceleration, deceleration);
    drive.Note("PV_start_motor: controlword 0x6040:00 <- 0x000F");
    port.Require(PV_start_motor(node), "start " + drive.name());
    const Stopwatch watch;
    ProgressLine progress;
    int interrupted_status = 0;
    try {
        while (seconds < 0 || watch.seconds() < seconds) {
            const double elapsed = watch.seconds();
            std::uint16_t statusword = 0;
            const PowerState state = drive.ReadState(&statusword);
            if (state != PowerState::kOperationEnabled) {
                progress.Break();
                if (InFault(statusword)) drive.FailInFault(statusword);
                throw Failure(drive.name() + " left operation enabled while running: now " +
                              StateName(state));
            }
            std::string text = "running at " + std::to_string(velocity) + "  pos " +
                               std::to_string(port.Position(node)) + "  " + Seconds(elapsed);
            text += seconds < 0 ? " (Ctrl-C halts)" : " / " + Seconds(seconds);
            progress.Update(text, static_cast<int>(elapsed));
            SleepMs(kPollMs);
            ThrowIfInterrupted();
        }
    } catch (const Interrupted& interrupted) {
        interrupted_status = interrupted.exit_status();
    } catch (const Failure&) {
        progress.Break();
        Orvex_Halt(node, 0);  // never leave the motor running behind a failed query
        throw;
    }
    progress.Break();
    const double ran = watch.seconds();
    bool standing = false;
    const int halted_at = HaltAndAwaitStandstill(drive, &standing);
    std::cout << drive.name() << ": ran at " << velocity << " for " << Seconds(ran)
              << (standing ? ", halted at position " : ", halt sent; still moving at position ")
              << halted_at << "\n";
    if (interrupted_status != 0) {
        std::cerr << "orvex: interrupted\n";
        return interrupted_status;
    }
    if (!standing) {
        throw Failure(drive.name() + " still moves " + std::to_string(kStandstillLimitMs / 1000) +
                      " s after the halt");
    }
    return 0;
}

int RunHomeSet(Arguments& args, const Connection& connection) {
    const int method =
        static_cast<int>(ParseInteger(args.Next("METHOD"), "METHOD", -128, 127, args.topic()));
    // Homing speeds (0x6099) and the method-0 speed limit (0x607F) are unsigned.
    const std::uint32_t speed_switch = TakeUnsigned(args, "SPEED_SWITCH");
    const std::uint32_t speed_zero = TakeUnsigned(args, "SPEED_ZERO");
    // The homing acceleration (0x609A) is unsigned; method 0's torque (0x6071) is INTEGER16.
    const std::string last = args.Next("ACC_OR_TORQUE");
    const long long acc_or_torque = method == 0
                                        ? ParseInteger(last, "TORQUE", -32768, 32767, args.topic())
                                        : ParseInteger(last, "ACC", 0, 0xFFFFFFFFLL, args.topic());
    args.ExpectEnd();
    Port port(connection);
    const Drive drive(port, connection.node, connection.verbose);
    SetMode(drive, codec::kModeHoming);
    // Method 0 has no homing acceleration: 0x609A keeps the value it holds.
    const std::uint32_t acceleration = method == 0 ? port.Read(drive.node(), kHomingAcceleration, 4)
                                                   : static_cast<std::uint32_t>(acc_or_torque);
    drive.Note("Orvex_SetHoming: 0x6098:00 <- " + std::to_string(method) + ", 0x6099:01 <- " +
               std::to_string(speed_switch) + ", 0x6099:02 <- " + std::to_string(speed_zero) +
               ", 0x609A:00 <- " + std::to_string(acceleration));
    drive.Check(Orvex_SetHoming(drive.node(), method, static_cast<int>(speed_switch),
                                static_cast<int>(speed_zero), acceleration),
                "take the homing");
    if (method == 0) {
        // Homing on a hard stop: SPEED_SWITCH is the speed limit, the torque the 2-byte object it
        // is, read back.
        drive.Note("0x607F:00 <- " + std::to_string(speed_switch) + " (max profile velocity)");
        port.Require(SDO_Write(drive.node(), kMaxProfileVelocityTorque.index,
                               kMaxProfileVelocityTorque.subindex, speed_switch, 4),
                     "write " + FormatObject(kMaxProfileVelocityTorque) + " of " + drive.name());
        drive.Note("Orvex_SetTorque: 0x6071:00 <- " + std::to_string(acc_or_torque) + " (2 bytes)");
        drive.Check(Orvex_SetTorque(drive.node(), static_cast<int>(acc_or_torque)),
                    "set the homing torque");
    }
    std::cout << drive.name() << ": homing method " << method << " set, speeds " << speed_switch
              << "/" << speed_zero << ", " << (method == 0 ? "torque " : "acceleration ")
              << acc_or_torque << "\n";
    return 0;
}

int RunHomeStart(Arguments& args, const Connection& connection) {
    const bool wait = args.TakeFlag("--wait");
    const double timeout = TakeTimeout(args);
    args.ExpectEnd();
    const int node = connection.node;
    Port port(connection);
    const Drive drive(port, node, connection.verbose);
    drive.Note("Orvex_Home: rising edge of controlword bit 4 (0x000F, 0x001F)");
    try {
        drive.Check(Orvex_Home(node, 0), "home", codec::kModeHoming);
    } catch (const Interrupted& interrupted) {
        if (!wait) throw;
        ProgressLine progress;
        return HaltAfterInterrupt(drive, interrupted, progress);
    }
    if (!wait) {
        std::cout << drive.name() << ": homing started (controlword 0x001F)\n";
        return 0;
    }
    Progress shown;
    shown.under_way = "homing ...";
    shown.done = [](int position) { return "homing attained  pos " + std::to_string(position); };
    double took = 0;
    int at = 0;
    const int status = FollowWait(drive, "attain homing", shown, timeout, &took, &at);
    if (status != 0) return status;
    std::cout << drive.name() << ": homing attained in " << Seconds(took) << ", position " << at
              << "\n";
    return 0;
}

// PT_Set's steps, but the target torque as the 2-byte object it is (PT_Set sends 4 bytes, which a
// drive that checks sizes refuses) and read back before the mode starts it.
int RunTorqueSet(Arguments& args, const Connection& connection) {
    const std::uint32_t max_velocity = TakeUnsigned(args, "MAXVEL");
    const int torque =
        static_cast<int>(ParseInteger(args.Next("TORQUE"), "TORQUE", -32768, 32767, args.topic()));
    args.ExpectEnd();
    Port port(connection);
    const int node = connection.node;
    const Drive drive(port, node, connection.verbose);
    drive.RequireOperationEnabled("produce torque");
    drive.Note("0x607F:00 <- " + std::to_string(max_velocity) + " (max profile velocity)");
    port.Require(SDO_Write(node, kMaxProfileVelocityTorque.index,
                           kMaxProfileVelocityTorque.subindex, max_velocity, 4),
                 "write " + FormatObject(kMaxProfileVelocityTorque) + " of " + drive.name());
    drive.Note("Orvex_SetTorque: 0x6071:00 <- " + std::to_string(torque) + " (2 bytes, read back)");
    drive.Check(Orvex_SetTorque(node, torque), "set the target torque");
    drive.Note("PT_start_motor: mode 0x6060:00 <- 4, controlword 0x6040:00 <- 0x000F");
    port.Require(PT_start_motor(node), "start torque on " + drive.name());
    std::uint32_t mode = 0;
    if (port.ReadIfPresent(node, kModesDisplay, 1, &mode) &&
        static_cast<std::int8_t>(mode & 0xFF) != 4) {
        Orvex_Halt(node, 0);
        throw Failure(drive.name() + " runs in mode " +
                      std::to_string(static_cast<std::int8_t>(mode & 0xFF)) +
                      ", not profile torque (4); halt sent");
    }
    drive.RequireOperationEnabled("produce torque");
    std::cout << drive.name() << ": torque " << torque << " at most velocity " << max_velocity
              << " - the drive produces torque now; 'orvex halt' stops it\n";
    return 0;
}

int RunTorqueStart(Arguments& args, const Connection& connection) {
    args.ExpectEnd();
    Port port(connection);
    const Drive drive(port, connection.node, connection.verbose);
    drive.RequireOperationEnabled("produce torque");
    drive.Note("PT_start_motor: mode 0x6060:00 <- 4, controlword 0x6040:00 <- 0x000F");
    port.Require(PT_start_motor(drive.node()), "start torque on " + drive.name());
    std::cout << drive.name() << ": profile torque started (mode 4, controlword 0x000F)\n";
    return 0;
}

const Subcommand kProfilePositionCommands[] = {
    {"set", RunPpSet, ""},
    {"move", RunPpMove, "--relative --after --wait --timeout=S"},
    {"target", RunPpTarget, ""},
    {"stop", RunStop, ""},
};

const Subcommand kProfileVelocityCommands[] = {
    {"set", RunPvSet, ""},
    {"speed", RunPvSpeed, ""},
    {"start", RunPvStart, ""},
    {"stop", RunStop, ""},
    {"run", RunPvRun, "--for=S --acc=A --dec=D"},
};

const Subcommand kHomingCommands[] = {
    {"set", RunHomeSet, ""},
    {"start", RunHomeStart, "--wait --timeout=S"},
    {"stop", RunStop, ""},
};

const Subcommand kTorqueCommands[] = {
    {"set", RunTorqueSet, ""},
    {"start", RunTorqueStart, ""},
    {"stop", RunStop, ""},
};

}  // namespace

int RunProfilePosition(Arguments& args, const Connection& connection) {
    return RunSubcommand(args, connection, kProfilePositionCommands);
}

int RunProfileVelocity(Arguments& args, const Connection& connection) {
    return RunSubcommand(args, connection, kProfileVelocityCommands);
}

int RunHoming(Arguments& args, const Connection& connection) {
    return RunSubcommand(args, connection, kHomingCommands);
}

int RunTorque(Arguments& args, const Connection& connection) {
    return RunSubcommand(args, connection, kTorqueCommands);
}

}  // namespace orvex::cli
