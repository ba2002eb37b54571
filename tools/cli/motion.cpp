// The operating modes (profile position, profile velocity, homing, profile torque) and waiting for
// a drive to finish: polls GetMotorStatus and GetPosition, shows progress on stderr, halts the
// drive when the user interrupts (Ctrl-C, SIGTERM). Every command that starts or changes motion
// reads the drive's state first: a drive in fault is reported with its error code, and a motion
// needs operation enabled.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iostream>

#include "commands.h"
#include "drive.h"
#include "format.h"
#include "interrupt.h"
#include "orvex.h"
#include "port.h"
#include "progress.h"

namespace orvex::cli {
namespace {

constexpr int kPollMs = 50;
constexpr double kDefaultTimeoutSeconds = 30.0;
// A drive shows the previous target's bit until it takes a new set-point; after this long it has
// surely taken it. A bit that was never seen clear by then is trusted only where `already_there`
// says so (a move of no length), else the drive ignored the command.
constexpr double kSetPointSettleSeconds = 0.1;
// How long a drive may take to acknowledge a set-point (bit 12) before the handshake goes on
// without it: not every drive shows the acknowledge.
constexpr int kSetPointAcknowledgeMs = 200;
// How near the target a move may end without the bit ever clearing (drive units).
constexpr long long kPositionWindow = 10;

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

double TakeTimeout(Arguments& args) {
    const auto timeout = args.TakeValue("--timeout");
    if (!timeout) return kDefaultTimeoutSeconds;
    const double seconds = ParseSeconds(*timeout, "--timeout", args.topic());
    if (seconds <= 0) throw UsageError("--timeout must be more than 0 seconds", args.topic());
    return seconds;
}

// Halts the drive after an interrupt and says where the halt was sent; the exit status.
int HaltAfterInterrupt(const Drive& drive, const Interrupted& interrupted, ProgressLine& progress) {
    progress.Break();
    drive.NoteSent("PP_stop_motor: controlword 0x6040:00 <- 0x010F");
    drive.port().Require(PP_stop_motor(drive.node()), "halt " + drive.name());
    std::cerr << "orvex: interrupted; halt sent to " << drive.name() << " at position "
              << drive.port().Position(drive.node()) << "\n";
    return interrupted.exit_status();
}

// What a wait is for, and how its progress reads.
struct WaitGoal {
    std::uint16_t bit;        // statusword bit that ends the wait
    std::string description;  // "reach 20000", for the time-out message
    // Progress text and step for a position and elapsed time.
    std::function<std::string(int position, double elapsed)> text;
    std::function<int(int position, double elapsed)> step;
    // True when the goal already held at `position` before the command (nothing to do).
    std::function<bool(int position)> already_there;
    std::string ignored;  // why the bit never cleared, for the failure line
};

// Polls until `goal.bit` is set for the current set-point. Returns 0, or the interrupt's exit
// status after halting; throws Failure on a fault, a time-out or a failed query.
int WaitFor(const Drive& drive, const WaitGoal& goal, double timeout, double* took) {
    const Port& port = drive.port();
    const int node = drive.node();
    ProgressLine progress;
    const Stopwatch watch;
    bool seen_clear = false;
    try {
        for (;;) {
            const std::uint16_t status = port.MotorStatus(node);
            const int position = port.Position(node);
            const double elapsed = watch.seconds();
            if (status & kStatusFault) {
                progress.Break();
                throw Failure(drive.name() + " went into fault at position " +
                              std::to_string(position) + ": " + DescribeFault(drive.ReadFault()) +
                              "; 'orvex reset' clears it");
            }
            const bool bit = (status & goal.bit) != 0;
            if (!bit) seen_clear = true;
            if (bit && (seen_clear ||
                        (elapsed >= kSetPointSettleSeconds && goal.already_there(position)))) {
                progress.Finish(goal.text(position, -1));
                *took = elapsed;
                return 0;
            }
            if (bit && elapsed >= kSetPointSettleSeconds) {
                progress.Break();
                throw Failure(drive.name() + " ignored the command: " + goal.ignored +
                              " (position " + std::to_string(position) + ")");
            }
            progress.Update(goal.text(position, elapsed), goal.step(position, elapsed));
            ThrowIfInterrupted();
            if (elapsed > timeout) {
                progress.Break();
                throw Failure(drive.name() + " did not " + goal.description + " within " +
                              Seconds(timeout) + " (position " + std::to_string(position) +
                              "); it is still under way, 'orvex halt' stops it");
            }
            SleepMs(kPollMs);
            ThrowIfInterrupted();
        }
    } catch (const Interrupted& interrupted) {
        return HaltAfterInterrupt(drive, interrupted, progress);
    }
}

// Halts and waits until the drive stands (bit 10 while halted); the position then, or the
// position when the halt was sent if it still moves after the limit (`standing` false).
int HaltAndAwaitStandstill(const Drive& drive, bool* standing) {
    drive.NoteSent("PV_stop_motor: controlword 0x6040:00 <- 0x010F");
    drive.port().Require(PV_stop_motor(drive.node()), "halt " + drive.name());
    drive.AwaitStatus([](std::uint16_t s) { return (s & kStatusTargetReached) != 0; },
                      kStandstillLimitMs, standing);
    return drive.port().Position(drive.node());
}

// Fails unless the drive runs in `mode` (0x6061), where it shows its mode: a set-point or homing
// start in another mode would be ignored, or mean something else.
void RequireMode(const Drive& drive, int mode, const char* set_up) {
    std::uint32_t shown = 0;
    if (!drive.port().ReadIfPresent(drive.node(), kModesDisplay, 1, &shown)) return;
    const int actual = static_cast<std::int8_t>(shown & 0xFF);
    if (actual != mode) {
        throw Failure(drive.name() + " is in mode " + std::to_string(actual) + " (" +
                      ModeName(actual) + "), not " + ModeName(mode) + ": '" + set_up +
                      "' selects it");
    }
}

// Brings controlword bit 4 low when it is (or may be) high, so that the next command makes the
// rising edge that starts a set-point or a homing run.
void DropBit4(const Drive& drive, const char* what) {
    const auto controlword = drive.ReadControlword();
    if (!controlword || (*controlword & kControlNewSetPointBit) != 0) {
        drive.WriteControlword(kControlEnableOperation, what);
    }
}

std::vector<int> TakeInts(Arguments& args, std::initializer_list<const char*> names) {
    std::vector<int> values;
    for (const char* name : names)
        values.push_back(ParseInt32(args.Next(name), name, args.topic()));
    return values;
}

std::uint32_t TakeUnsigned(Arguments& args, const char* name) {
    return static_cast<std::uint32_t>(
        ParseInteger(args.Next(name), name, 0, 0xFFFFFFFFLL, args.topic()));
}

// `pp set` and `pv set`: VEL ACC DEC handed to one of the profile set-ups.
int SetProfile(Arguments& args, const Connection& connection,
               int (*set_up)(int, int, unsigned, unsigned), const char* export_name,
               const std::string& what, const char* afterwards) {
    const int velocity = ParseInt32(args.Next("VEL"), "VEL", args.topic());
    const std::uint32_t acceleration = TakeUnsigned(args, "ACC");
    const std::uint32_t deceleration = TakeUnsigned(args, "DEC");
    args.ExpectEnd();
    Port port(connection);
    const Drive drive(port, connection.node, connection.verbose);
    drive.RequireNoFault();
    drive.NoteSent(std::string(export_name) + ": halt (controlword 0x010F), mode, velocity " +
                   std::to_string(velocity) + ", acceleration " + std::to_string(acceleration) +
                   ", deceleration " + std::to_string(deceleration));
    port.Require(set_up(drive.node(), velocity, acceleration, deceleration),
                 "set up " + what + " on " + drive.name());
    std::cout << drive.name() << ": " << what << " set" << afterwards << ", velocity " << velocity
              << ", acceleration " << acceleration << ", deceleration " << deceleration << "\n";
    return 0;
}

int RunPpSet(Arguments& args, const Connection& connection) {
    return SetProfile(args, connection, PP_Set, "PP_Set", "profile position", " (halted)");
}

int RunPpTarget(Arguments& args, const Connection& connection) {
    const int position = ParseInt32(args.Next("POS"), "POS", args.topic());
    args.ExpectEnd();
    Port port(connection);
    const Drive drive(port, connection.node, connection.verbose);
    drive.NoteSent("PP_Abs_move_enhance: target 0x607A:00 <- " + std::to_string(position));
    port.Require(PP_Abs_move_enhance(drive.node(), position), "set the target of " + drive.name());
    std::cout << drive.name() << ": target " << position
              << " written (no new set-point is triggered)\n";
    return 0;
}

// `pp stop`, `pv stop`, `home stop`, `torque stop`: one halt frame, whatever the mode.
int RunStop(Arguments& args, const Connection& connection) {
    args.ExpectEnd();
    Port port(connection);
    const Drive drive(port, connection.node, connection.verbose);
    drive.NoteSent("PP_stop_motor: controlword 0x6040:00 <- 0x010F");
    port.Require(PP_stop_motor(drive.node()), "halt " + drive.name());
    std::cout << drive.name() << ": halt sent (controlword 0x010F)\n";
    return 0;
}

int RunPpMove(Arguments& args, const Connection& connection) {
    const bool relative = args.TakeFlag("--relative");
    const bool wait = args.TakeFlag("--wait");
    const double timeout = TakeTimeout(args);
    const int position = ParseInt32(args.Next("POS"), "POS", args.topic());
    args.ExpectEnd();
    const int node = connection.node;
    Port port(connection);
    const Drive drive(port, node, connection.verbose);
    drive.RequireOperationEnabled("move");
    RequireMode(drive, codec::kModeProfilePosition, "orvex pp set");
    // The start is read first so that the progress bar and a relative target are measured from it.
    const int start = wait || relative ? port.Position(node) : 0;
    const long long target_wide = relative ? static_cast<long long>(start) + position : position;
    const int target = static_cast<int>(target_wide);

    // The set-point handshake: bit 4 low, then target and rising edge, the drive's acknowledge
    // (bit 12) where it shows one, then bit 4 low again so that the next move can rise again.
    DropBit4(drive, "new set-point bit low");
    if (relative) {
        drive.NoteSent("PP_Inc_move: target 0x607A:00 <- " + std::to_string(position) +
                       ", controlword 0x6040:00 <- 0x007F");
        port.Require(PP_Inc_move(node, position), "start a relative move of " + drive.name());
    } else {
        drive.NoteSent("PP_Abs_move: target 0x607A:00 <- " + std::to_string(position) +
                       ", controlword 0x6040:00 <- 0x003F");
        port.Require(PP_Abs_move(node, position), "start a move of " + drive.name());
    }
    bool acknowledged = false;
    drive.AwaitStatus([](std::uint16_t s) { return (s & kStatusSetPointAcknowledge) != 0; },
                      kSetPointAcknowledgeMs, &acknowledged);
    drive.WriteControlword(kControlEnableOperation, "new set-point bit low");

    if (!wait) {
        std::cout << drive.name() << ": moving to " << target
                  << (relative ? " (relative " + std::to_string(position) + ")" : "")
                  << (acknowledged ? "" : "; the drive showed no set-point acknowledge") << "\n";
        return 0;
    }
    auto fraction = [start, target](int at) {
        if (target == start) return 1.0;
        return (static_cast<double>(at) - start) / (static_cast<double>(target) - start);
    };
    WaitGoal goal;
    goal.bit = kStatusTargetReached;
    goal.description = "reach " + std::to_string(target);
    goal.text = [&](int at, double elapsed) {
        const double done = elapsed < 0 ? 1.0 : fraction(at);
        return ProgressBar(done, 30) + "  pos " + std::to_string(at) + " -> " +
               std::to_string(target);
    };
    goal.step = [&](int at, double) {
        const double done = fraction(at);
        return static_cast<int>((done < 0 ? 0 : done > 1 ? 1 : done) * 10);
    };
    goal.already_there = [target](int at) {
        return std::llabs(static_cast<long long>(at) - target) <= kPositionWindow;
    };
    goal.ignored = "target reached (bit 10) stayed set away from " + std::to_string(target) +
                   "; is it in profile position mode ('orvex pp set')?";
    double took = 0;
    const int status = WaitFor(drive, goal, timeout, &took);
    if (status != 0) return status;
    std::cout << drive.name() << ": target " << target << " reached in " << Seconds(took)
              << ", position " << port.Position(node) << "\n";
    return 0;
}

int RunPvSet(Arguments& args, const Connection& connection) {
    return SetProfile(args, connection, PV_Set, "PV_Set", "profile velocity",
                      " (halted; 'orvex pv start' runs it)");
}

int RunPvSpeed(Arguments& args, const Connection& connection) {
    const int velocity = ParseInt32(args.Next("VEL"), "VEL", args.topic());
    args.ExpectEnd();
    Port port(connection);
    const Drive drive(port, connection.node, connection.verbose);
    drive.RequireNoFault();
    drive.NoteSent("PV_Set_Vel: target velocity 0x60FF:00 <- " + std::to_string(velocity));
    port.Require(PV_Set_Vel(drive.node(), velocity), "set the velocity of " + drive.name());
    std::cout << drive.name() << ": target velocity " << velocity << "\n";
    return 0;
}

int RunPvStart(Arguments& args, const Connection& connection) {
    args.ExpectEnd();
    Port port(connection);
    const Drive drive(port, connection.node, connection.verbose);
    drive.RequireOperationEnabled("run");
    drive.NoteSent("PV_start_motor: controlword 0x6040:00 <- 0x000F");
    port.Require(PV_start_motor(drive.node()), "start " + drive.name());
    std::cout << drive.name() << ": started (controlword 0x000F)\n";
    return 0;
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
    drive.RequireOperationEnabled("run");
    drive.NoteSent("PV_Set: mode 3, halt (controlword 0x010F), velocity " +
                   std::to_string(velocity));
    port.Require(PV_Set(node, velocity, acceleration, deceleration),
                 "set up profile velocity on " + drive.name());
    drive.NoteSent("PV_start_motor: controlword 0x6040:00 <- 0x000F");
    port.Require(PV_start_motor(node), "start " + drive.name());
    const Stopwatch watch;
    ProgressLine progress;
    int interrupted_status = 0;
    try {
        while (seconds < 0 || watch.seconds() < seconds) {
            const double elapsed = watch.seconds();
            if (port.MotorStatus(node) & kStatusFault) {
                progress.Break();
                throw Failure(drive.name() + " went into fault at position " +
                              std::to_string(port.Position(node)) + ": " +
                              DescribeFault(drive.ReadFault()) + "; 'orvex reset' clears it");
            }
            std::string text = "running at " + std::to_string(velocity) + "  pos " +
                               std::to_string(port.Position(node)) + "  " + Seconds(elapsed);
            text += seconds < 0 ? " (Ctrl-C halts)" : " / " + Seconds(seconds);
            progress.Update(text, static_cast<int>(elapsed));
            SleepMs(kPollMs);
            ThrowIfInterrupted();
        }
    } catch (const Interrupted& interrupted) {
        // Without --for, Ctrl-C is the way to end the run; with it, it cuts the run short.
        if (seconds >= 0) interrupted_status = interrupted.exit_status();
    } catch (const Failure&) {
        progress.Break();
        PV_stop_motor(node);  // never leave the motor running behind a failed query
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
    const std::vector<int> speeds = TakeInts(args, {"SPEED_SWITCH", "SPEED_ZERO"});
    const std::uint32_t acc_or_torque = TakeUnsigned(args, "ACC_OR_TORQUE");
    args.ExpectEnd();
    Port port(connection);
    const Drive drive(port, connection.node, connection.verbose);
    drive.RequireNoFault();
    drive.NoteSent("HM_Set: halt (controlword 0x010F), mode 6, method " + std::to_string(method));
    port.Require(HM_Set(drive.node(), speeds[0], speeds[1], acc_or_torque, method),
                 "set up homing on " + drive.name());
    std::cout << drive.name() << ": homing method " << method << " set, speeds " << speeds[0] << "/"
              << speeds[1] << ", " << (method == 0 ? "torque " : "acceleration ") << acc_or_torque
              << "\n";
    return 0;
}

int RunHomeStart(Arguments& args, const Connection& connection) {
    const bool wait = args.TakeFlag("--wait");
    const double timeout = TakeTimeout(args);
    args.ExpectEnd();
    const int node = connection.node;
    Port port(connection);
    const Drive drive(port, node, connection.verbose);
    drive.RequireOperationEnabled("home");
    RequireMode(drive, codec::kModeHoming, "orvex home set");
    // Homing starts on the rising edge of bit 4.
    DropBit4(drive, "homing start bit low");
    drive.NoteSent("HM_start_motor: controlword 0x6040:00 <- 0x001F");
    port.Require(HM_start_motor(node), "start homing on " + drive.name());
    if (!wait) {
        std::cout << drive.name() << ": homing started (controlword 0x001F)\n";
        return 0;
    }
    WaitGoal goal;
    goal.bit = kStatusHomingAttained;
    goal.description = "attain homing";
    goal.text = [](int at, double elapsed) {
        if (elapsed < 0) return "homing attained  pos " + std::to_string(at);
        return "homing ...  pos " + std::to_string(at) + "  " + Seconds(elapsed);
    };
    goal.step = [](int, double elapsed) { return static_cast<int>(elapsed); };
    goal.already_there = [](int) { return false; };
    goal.ignored = "homing attained (bit 12) stayed set; is it in homing mode ('orvex home set')?";
    double took = 0;
    const int status = WaitFor(drive, goal, timeout, &took);
    if (status != 0) return status;
    std::cout << drive.name() << ": homing attained in " << Seconds(took) << ", position "
              << port.Position(node) << "\n";
    return 0;
}

// The steps of PT_Set, but the target torque as the 2-byte object it is (PT_Set sends 4 bytes,
// which a drive that checks sizes refuses), and each value read back.
int RunTorqueSet(Arguments& args, const Connection& connection) {
    const int max_velocity = ParseInt32(args.Next("MAXVEL"), "MAXVEL", args.topic());
    const int torque =
        static_cast<int>(ParseInteger(args.Next("TORQUE"), "TORQUE", -32768, 32767, args.topic()));
    args.ExpectEnd();
    Port port(connection);
    const int node = connection.node;
    const Drive drive(port, node, connection.verbose);
    drive.RequireOperationEnabled("produce torque");
    drive.WriteObject(kModesOfOperation, 4, 1, "profile torque");
    drive.WriteObject(kMaxProfileVelocityTorque, static_cast<std::uint32_t>(max_velocity), 4,
                      "max profile velocity");
    drive.WriteObject(kTargetTorque, static_cast<std::uint32_t>(torque) & 0xFFFFu, 2,
                      "target torque");
    const auto torque_held = static_cast<std::int16_t>(port.Read(node, kTargetTorque, 2) & 0xFFFF);
    if (torque_held != torque) {
        throw Failure(drive.name() + " holds target torque " + std::to_string(torque_held) +
                      ", not " + std::to_string(torque) + "; nothing started");
    }
    drive.WriteControlword(kControlEnableOperation, "enable operation");
    std::uint32_t mode = 0;
    if (port.ReadIfPresent(node, kModesDisplay, 1, &mode) &&
        static_cast<std::int8_t>(mode & 0xFF) != 4) {
        drive.NoteSent("PT_stop_motor: controlword 0x6040:00 <- 0x010F");
        PT_stop_motor(node);
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
    drive.NoteSent("PT_start_motor: mode 0x6060:00 <- 4, controlword 0x6040:00 <- 0x000F");
    port.Require(PT_start_motor(drive.node()), "start torque on " + drive.name());
    std::cout << drive.name() << ": profile torque started (mode 4, controlword 0x000F)\n";
    return 0;
}

const Subcommand kProfilePositionCommands[] = {
    {"set", RunPpSet, ""},
    {"move", RunPpMove, "--relative --wait --timeout=S"},
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
