// The operating modes (profile position, profile velocity, homing, profile torque) and waiting for
// a drive to finish: polls GetMotorStatus and GetPosition, shows progress on stderr, halts the
// drive when the user interrupts (Ctrl-C).
#include <time.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iostream>

#include "commands.h"
#include "format.h"
#include "orvex.h"
#include "port.h"
#include "progress.h"

namespace orvex::cli {
namespace {

constexpr int kExitInterrupted = 130;
constexpr int kPollMs = 50;
constexpr double kDefaultTimeoutSeconds = 30.0;
// A drive shows the previous target's bit until it takes a new set-point; after this long it has
// surely taken it. A bit that was never seen clear by then is trusted only where `already_there`
// says so (a move of no length), else the drive ignored the command.
constexpr double kSetPointSettleSeconds = 0.1;
// How near the target a move may end without the bit ever clearing (drive units).
constexpr long long kPositionWindow = 10;

volatile std::sig_atomic_t g_interrupted = 0;

extern "C" void OnInterrupt(int) {
    g_interrupted = 1;
}

// Catches Ctrl-C and SIGTERM while a drive is in motion, so that it can be halted before exit.
class InterruptGuard {
  public:
    InterruptGuard() {
        g_interrupted = 0;
        struct sigaction action {};
        action.sa_handler = OnInterrupt;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, &old_int_);
        sigaction(SIGTERM, &action, &old_term_);
    }
    ~InterruptGuard() {
        sigaction(SIGINT, &old_int_, nullptr);
        sigaction(SIGTERM, &old_term_, nullptr);
    }
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;

    bool interrupted() const { return g_interrupted != 0; }

  private:
    struct sigaction old_int_ {};
    struct sigaction old_term_ {};
};

// Sleeps up to `ms`; a signal ends the sleep early.
void SleepMs(int ms) {
    timespec delay{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    nanosleep(&delay, nullptr);
}

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

// Halts the drive after an interrupt and reports where it stopped.
int HaltAfterInterrupt(const Port& port, int node, ProgressLine& progress) {
    progress.Break();
    port.Require(PP_stop_motor(node), "halt " + NodeName(node));
    std::cerr << "orvex: interrupted; " << NodeName(node) << " halted at position "
              << port.Position(node) << "\n";
    return kExitInterrupted;
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

// Polls until `goal.bit` is set for the current set-point. Returns 0, or the interrupt status;
// throws Failure on a fault, a time-out or a failed query.
int WaitFor(const Port& port, int node, const WaitGoal& goal, double timeout, double* took) {
    InterruptGuard interrupt;
    ProgressLine progress;
    const Stopwatch watch;
    bool seen_clear = false;
    for (;;) {
        const std::uint16_t status = port.MotorStatus(node);
        const int position = port.Position(node);
        const double elapsed = watch.seconds();
        if (status & kStatusFault) {
            progress.Break();
            throw Failure(NodeName(node) + " is in fault at position " + std::to_string(position) +
                          " (statusword bits 0x1D0F: " + HexValue(status, 2) + ")");
        }
        const bool bit = (status & goal.bit) != 0;
        if (!bit) seen_clear = true;
        if (bit &&
            (seen_clear || (elapsed >= kSetPointSettleSeconds && goal.already_there(position)))) {
            progress.Finish(goal.text(position, -1));
            *took = elapsed;
            return 0;
        }
        if (bit && elapsed >= kSetPointSettleSeconds) {
            progress.Break();
            throw Failure(NodeName(node) + " ignored the command: " + goal.ignored + " (position " +
                          std::to_string(position) + ")");
        }
        progress.Update(goal.text(position, elapsed), goal.step(position, elapsed));
        if (interrupt.interrupted()) return HaltAfterInterrupt(port, node, progress);
        if (elapsed > timeout) {
            progress.Break();
            throw Failure(NodeName(node) + " did not " + goal.description + " within " +
                          Seconds(timeout) + " (position " + std::to_string(position) +
                          "); it is still under way, 'orvex halt' stops it");
        }
        SleepMs(kPollMs);
        if (interrupt.interrupted()) return HaltAfterInterrupt(port, node, progress);
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
               int (*set_up)(int, int, unsigned, unsigned), const std::string& what,
               const char* afterwards) {
    const int velocity = ParseInt32(args.Next("VEL"), "VEL", args.topic());
    const std::uint32_t acceleration = TakeUnsigned(args, "ACC");
    const std::uint32_t deceleration = TakeUnsigned(args, "DEC");
    args.ExpectEnd();
    const int node = connection.node;
    Port port(connection);
    port.Require(set_up(node, velocity, acceleration, deceleration),
                 "set up " + what + " on " + NodeName(node));
    std::cout << NodeName(node) << ": " << what << " set" << afterwards << ", velocity " << velocity
              << ", acceleration " << acceleration << ", deceleration " << deceleration << "\n";
    return 0;
}

int RunPpSet(Arguments& args, const Connection& connection) {
    return SetProfile(args, connection, PP_Set, "profile position", "");
}

int RunPpTarget(Arguments& args, const Connection& connection) {
    const int position = ParseInt32(args.Next("POS"), "POS", args.topic());
    args.ExpectEnd();
    const int node = connection.node;
    Port port(connection);
    port.Require(PP_Abs_move_enhance(node, position), "set the target of " + NodeName(node));
    std::cout << NodeName(node) << ": target " << position
              << " written (no new set-point is triggered)\n";
    return 0;
}

// `pp stop`, `pv stop`, `home stop`, `torque stop`: one halt frame, whatever the mode.
int RunStop(Arguments& args, const Connection& connection) {
    args.ExpectEnd();
    const int node = connection.node;
    Port port(connection);
    port.Require(PP_stop_motor(node), "halt " + NodeName(node));
    std::cout << NodeName(node) << ": halt sent (controlword 0x010F)\n";
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
    // The start is read first so that the progress bar and a relative target are measured from it.
    const int start = wait || relative ? port.Position(node) : 0;
    const long long target_wide = relative ? static_cast<long long>(start) + position : position;
    const int target = static_cast<int>(target_wide);
    if (relative) {
        port.Require(PP_Inc_move(node, position), "start a relative move of " + NodeName(node));
    } else {
        port.Require(PP_Abs_move(node, position), "start a move of " + NodeName(node));
    }
    if (!wait) {
        std::cout << NodeName(node) << ": moving to " << target
                  << (relative ? " (relative " + std::to_string(position) + ")" : "") << "\n";
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
                   "; is it enabled and in profile position mode ('orvex pp set')?";
    double took = 0;
    const int status = WaitFor(port, node, goal, timeout, &took);
    if (status != 0) return status;
    std::cout << NodeName(node) << ": target " << target << " reached in " << Seconds(took)
              << ", position " << port.Position(node) << "\n";
    return 0;
}

int RunPvSet(Arguments& args, const Connection& connection) {
    return SetProfile(args, connection, PV_Set, "profile velocity",
                      " (halted; 'orvex pv start' runs it)");
}

int RunPvSpeed(Arguments& args, const Connection& connection) {
    const int velocity = ParseInt32(args.Next("VEL"), "VEL", args.topic());
    args.ExpectEnd();
    const int node = connection.node;
    Port port(connection);
    port.Require(PV_Set_Vel(node, velocity), "set the velocity of " + NodeName(node));
    std::cout << NodeName(node) << ": target velocity " << velocity << "\n";
    return 0;
}

int RunPvStart(Arguments& args, const Connection& connection) {
    args.ExpectEnd();
    const int node = connection.node;
    Port port(connection);
    port.Require(PV_start_motor(node), "start " + NodeName(node));
    std::cout << NodeName(node) << ": started (controlword 0x000F)\n";
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
    InterruptGuard interrupt;
    port.Require(PV_Set(node, velocity, acceleration, deceleration),
                 "set up profile velocity on " + NodeName(node));
    port.Require(PV_start_motor(node), "start " + NodeName(node));
    const Stopwatch watch;
    ProgressLine progress;
    try {
        while (!interrupt.interrupted() && (seconds < 0 || watch.seconds() < seconds)) {
            const double elapsed = watch.seconds();
            std::string text = "running at " + std::to_string(velocity) + "  pos " +
                               std::to_string(port.Position(node)) + "  " + Seconds(elapsed);
            text += seconds < 0 ? " (Ctrl-C halts)" : " / " + Seconds(seconds);
            progress.Update(text, static_cast<int>(elapsed));
            SleepMs(kPollMs);
        }
    } catch (const Failure&) {
        progress.Break();
        PV_stop_motor(node);  // never leave the motor running behind a failed query
        throw;
    }
    progress.Break();
    port.Require(PV_stop_motor(node), "halt " + NodeName(node));
    const bool cut_short = interrupt.interrupted() && seconds >= 0;
    std::cout << NodeName(node) << ": ran at " << velocity << " for " << Seconds(watch.seconds())
              << ", halted at position " << port.Position(node) << "\n";
    if (cut_short) {
        std::cerr << "orvex: interrupted\n";
        return kExitInterrupted;
    }
    return 0;
}

int RunHomeSet(Arguments& args, const Connection& connection) {
    const int node = connection.node;
    const int method =
        static_cast<int>(ParseInteger(args.Next("METHOD"), "METHOD", -128, 127, args.topic()));
    const std::vector<int> speeds = TakeInts(args, {"SPEED_SWITCH", "SPEED_ZERO"});
    const std::uint32_t acc_or_torque = TakeUnsigned(args, "ACC_OR_TORQUE");
    args.ExpectEnd();
    Port port(connection);
    port.Require(HM_Set(node, speeds[0], speeds[1], acc_or_torque, method),
                 "set up homing on " + NodeName(node));
    std::cout << NodeName(node) << ": homing method " << method << " set, speeds " << speeds[0]
              << "/" << speeds[1] << ", " << (method == 0 ? "torque " : "acceleration ")
              << acc_or_torque << "\n";
    return 0;
}

int RunHomeStart(Arguments& args, const Connection& connection) {
    const bool wait = args.TakeFlag("--wait");
    const double timeout = TakeTimeout(args);
    args.ExpectEnd();
    const int node = connection.node;
    Port port(connection);
    port.Require(HM_start_motor(node), "start homing on " + NodeName(node));
    if (!wait) {
        std::cout << NodeName(node) << ": homing started (controlword 0x001F)\n";
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
    goal.ignored =
        "homing attained (bit 12) stayed set; is it enabled and in homing mode ('orvex home set')?";
    double took = 0;
    const int status = WaitFor(port, node, goal, timeout, &took);
    if (status != 0) return status;
    std::cout << NodeName(node) << ": homing attained in " << Seconds(took) << ", position "
              << port.Position(node) << "\n";
    return 0;
}

int RunTorqueSet(Arguments& args, const Connection& connection) {
    const int node = connection.node;
    const int max_velocity = ParseInt32(args.Next("MAXVEL"), "MAXVEL", args.topic());
    const int torque =
        static_cast<int>(ParseInteger(args.Next("TORQUE"), "TORQUE", -32768, 32767, args.topic()));
    args.ExpectEnd();
    Port port(connection);
    port.Require(PT_Set(node, max_velocity, torque), "set up profile torque on " + NodeName(node));
    std::cout << NodeName(node) << ": torque " << torque << " at most velocity " << max_velocity
              << " - the drive produces torque now; 'orvex halt' stops it\n";
    return 0;
}

int RunTorqueStart(Arguments& args, const Connection& connection) {
    args.ExpectEnd();
    const int node = connection.node;
    Port port(connection);
    port.Require(PT_start_motor(node), "start torque on " + NodeName(node));
    std::cout << NodeName(node) << ": profile torque started (mode 4, controlword 0x000F)\n";
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
