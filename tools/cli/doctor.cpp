// orvex doctor: finds why a bus does not answer. It checks in order, from the port to the drives,
// and stops at the first cause it can name; each finding is one line: what it saw, what that
// means, what to do.
#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "bus_commands.h"
#include "codec.h"
#include "format.h"
#include "interrupt.h"
#include "names.h"
#include "orvex.h"

namespace orvex::cli {

const char kDoctorHelp[] =
    "Usage: orvex [connection] doctor [--node LIST] [--limit-ms T]\n"
    "\n"
    "Finds why a bus does not answer, and names the cause and the fix. Checks in order and stops\n"
    "at the first cause it names:\n"
    "  1. the port opens (absent path, permission and group, held by another program, not a\n"
    "     serial device);\n"
    "  2. anything arrives within 1.5 s of a request to the first node;\n"
    "  3. what arrives is framed (12-byte frames ending in CR LF; noise means another serial\n"
    "     rate than --baud);\n"
    "  4. more than the adapter's echo of the host's own frames arrives;\n"
    "  5. which nodes answer SDO (a quick scan of nodes 1-127) and which only send heartbeats;\n"
    "  6. each node's NMT state from its heartbeats (a stopped node answers no SDO);\n"
    "  7. drives in fault, with the error code's meaning;\n"
    "  8. answers later than the query limit;\n"
    "  9. the USB latency timer, where sysfs shows one (read, never written).\n"
    "Each finding is one line: 'ok' and what it saw, or 'CAUSE' with what it saw, what that means\n"
    "and what to do ('note' for advice that is no fault).\n"
    "--node LIST  the nodes that should answer (default: every node found)\n"
    "--limit-ms T the query limit programs use (default: the library's, 800 ms); answers later\n"
    "             than it are named\n"
    "Exit status 0 when the bus is healthy, 1 when a cause was named.\n"
    "\n"
    "Examples:\n"
    "  $ orvex --device /dev/ttyUSB0 --node 2 doctor\n"
    "  ok     port /dev/ttyUSB0 opens at 115200 baud\n"
    "  ok     36 bytes within 1.5 s, all in frames (heartbeats of nodes 1, 2)\n"
    "  ok     nodes 1, 2 answer SDO\n"
    "  ok     NMT states: node 1 pre-operational, node 2 pre-operational\n"
    "  CAUSE  node 2 is in fault, error code 0x8611 (following error): the drive switched its\n"
    "         power stage off on that error; remove its cause, then 'orvex --node 2 reset'\n";

namespace {

using Clock = std::chrono::steady_clock;
constexpr double kListenSeconds = 1.5;

// The library's query limit for one check (no port needed), and the one before afterwards.
class QueryLimitMs {
  public:
    explicit QueryLimitMs(int query_ms) {
        Orvex_GetTimeLimits(&before_ms_, nullptr);
        Orvex_SetTimeLimits(query_ms, 0);
    }
    ~QueryLimitMs() { Orvex_SetTimeLimits(before_ms_, 0); }
    QueryLimitMs(const QueryLimitMs&) = delete;
    QueryLimitMs& operator=(const QueryLimitMs&) = delete;

  private:
    int before_ms_ = 0;
};

class Findings {
  public:
    void Ok(const std::string& saw) { Print("ok     ", saw); }
    void Note(const std::string& saw) { Print("note   ", saw); }
    // A cause: what it saw, what that means, what to do. Returns the exit status.
    int Cause(const std::string& saw, const std::string& means, const std::string& fix) {
        Print("CAUSE  ", saw + ": " + means + "; " + fix);
        return 1;
    }

  private:
    static void Print(const char* head, const std::string& text) {
        std::cout << head << text << "\n";
        FlushOutput();
    }
};

std::string NodeList(const std::vector<int>& nodes) {
    std::vector<std::string> words;
    for (const int node : nodes) words.push_back(std::to_string(node));
    return (nodes.size() == 1 ? "node " : "nodes ") + Join(words, ", ");
}

// "node 2 answers" or "nodes 1, 2 answer".
std::string NodesAnswer(const std::vector<int>& nodes) {
    return NodeList(nodes) + (nodes.size() == 1 ? " answers" : " answer");
}

std::string ReadLine(const std::string& path) {
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    return line;
}

// "process 1234 (orvex)" for the holder of a flock on `path`, from /proc/locks, or "".
std::string LockHolder(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return "";
    std::ifstream locks("/proc/locks");
    for (std::string line; std::getline(locks, line);) {
        std::istringstream words(line);
        std::string number, type, mode, access, pid, device;
        words >> number >> type;
        if (type == "->") words >> type;  // a waiter
        words >> mode >> access >> pid >> device;
        unsigned major_id = 0, minor_id = 0;
        unsigned long inode = 0;
        if (std::sscanf(device.c_str(), "%x:%x:%lu", &major_id, &minor_id, &inode) != 3) continue;
        if (inode != st.st_ino || makedev(major_id, minor_id) != st.st_dev) continue;
        const std::string name = ReadLine("/proc/" + pid + "/comm");
        return "process " + pid + (name.empty() ? "" : " (" + name + ")");
    }
    return "";
}

// Why the port does not open, as a cause; 0 when it opened.
int CheckOpen(const Connection& connection, const std::string& path, Findings& findings) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        const int error = errno;
        if (error == ENOENT) {
            std::string present;
            for (const char* dir : {"/dev/serial/by-id"}) {
                if (access(dir, F_OK) == 0) present = std::string(" (see ls -l ") + dir + ")";
            }
            return findings.Cause(path + " does not exist",
                                  "the adapter is unplugged, or has another name",
                                  "plug it in and give its path" + present);
        }
        return findings.Cause("cannot look at " + path + ": " + std::strerror(error),
                              "the path cannot be reached", "check the path and its directories");
    }
    if (!S_ISCHR(st.st_mode)) {
        return findings.Cause(path + " is " + (S_ISDIR(st.st_mode) ? "a directory" : "no device"),
                              "not a serial device",
                              "give the adapter's device (/dev/ttyUSB0, /dev/ttyACM0, "
                              "/dev/serial/by-id/...)");
    }
    const int opened = connection.device.empty()
                           ? Serial_OpenPort(connection.port, connection.baud)
                           : Serial_OpenDevice(connection.device.c_str(), connection.baud);
    ThrowIfInterrupted();
    if (opened == 1) {
        findings.Ok("port " + path + " opens at " + std::to_string(connection.baud) + " baud");
        return 0;
    }
    const int result = Orvex_LastResult();
    const int error = result == ORVEX_SYSTEM_ERROR ? Orvex_LastSystemError() : 0;
    Serial_ClosePort();
    if (error == EACCES || error == EPERM) {
        const group* owner = getgrgid(st.st_gid);
        const std::string group_name =
            owner != nullptr ? owner->gr_name : std::to_string(st.st_gid);
        char mode[16];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        const std::string saw =
            "permission denied opening " + path + " (mode " + mode + ", group " + group_name + ")";
        if ((st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP)) {
            return findings.Cause(saw, "this user is not in the device's group",
                                  "add the user to group " + group_name + " (sudo usermod -aG " +
                                      group_name + " $USER) and log in again");
        }
        return findings.Cause(saw, "only the device's owner may use it",
                              "give a group read and write access with a udev rule (MODE=\"0660\", "
                              "GROUP=\"dialout\") and join that group, or run as the owner");
    }
    if (error == EWOULDBLOCK || error == EBUSY) {
        const std::string holder = LockHolder(path);
        return findings.Cause(
            path + " is busy" + (holder.empty() ? "" : ", held by " + holder),
            "another program has the port (only one may use it)",
            "close that program" +
                (holder.empty() ? std::string(" (fuser -v " + path + ")") : std::string()) +
                ", then try again");
    }
    if (error == ENOTTY || error == EINVAL) {
        return findings.Cause(
            path + " refuses serial settings (" + std::strerror(error) + ")",
            "not a serial device, or not at " + std::to_string(connection.baud) + " baud",
            "give the adapter's device and a rate it takes (--baud)");
    }
    return findings.Cause("cannot open " + path + ": " +
                              (error != 0 ? std::strerror(error) : Orvex_ResultText(result)),
                          "the system refuses the device",
                          "check that it is the adapter and that it works");
}

// Raw bytes for `seconds` after writing `request`: what the line carries, unexamined.
std::vector<std::uint8_t> Listen(const codec::Frame& request, double seconds) {
    std::vector<std::uint8_t> bytes;
    QueryLimitMs limit(50);
    const Clock::time_point end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                     std::chrono::duration<double>(seconds));
    std::uint8_t byte = 0;
    U_Transmit(request.data(), static_cast<int>(request.size()));
    while (Clock::now() < end && bytes.size() < 8192) {
        ThrowIfInterrupted();
        if (U_Transmit_Validation(nullptr, request.data(), &byte, 0, 1) == 0) bytes.push_back(byte);
    }
    return bytes;
}

struct Heard {
    std::size_t frames = 0;
    std::size_t echoes = 0;
    std::map<int, std::uint8_t> nmt;  // last heartbeat state by node
    std::set<int> answered;           // SDO answers seen
};

Heard Understand(const std::vector<std::uint8_t>& bytes, const codec::Frame& request,
                 std::size_t* discarded) {
    Heard heard;
    codec::FrameReader reader;
    codec::Frame frame;
    auto take = [&](const codec::Frame& f) {
        ++heard.frames;
        if (f == request) {
            ++heard.echoes;
            return;
        }
        const codec::FrameInfo info = codec::Classify(f);
        if (info.kind == codec::FrameKind::kHeartbeat) heard.nmt[info.node] = f[2];
        if (info.kind == codec::FrameKind::kSdoResponse) heard.answered.insert(info.node);
    };
    for (const std::uint8_t byte : bytes)
        if (reader.Push(byte, &frame)) take(frame);
    while (reader.Flush(&frame)) take(frame);
    *discarded = reader.discarded();
    return heard;
}

std::string NmtText(std::uint8_t state) {
    const char* name = codec::NmtStateName(state);
    return name != nullptr ? name : "state " + HexValue(state, 1);
}

std::string NmtCommandFrame(std::uint8_t command, int node) {
    return codec::Hex(codec::NmtCommand(command, node));
}

}  // namespace

int RunDoctor(Arguments& args, const Connection& connection) {
    args.set_topic("doctor");
    const auto limit_word = args.TakeValue("--limit-ms");
    int user_limit_ms = 0;
    Orvex_GetTimeLimits(&user_limit_ms, nullptr);
    if (limit_word) {
        user_limit_ms =
            static_cast<int>(ParseInteger(*limit_word, "--limit-ms", 1, 60000, "doctor"));
    }
    args.ExpectEnd();
    if (connection.device.empty() && connection.port <= 0) {
        throw UsageError("no adapter given: use --device PATH or --port N (or set ORVEX_DEVICE)");
    }
    const std::string path = connection.device.empty()
                                 ? "/dev/ttyS" + std::to_string(connection.port - 1)
                                 : connection.device;
    Findings findings;
    if (CheckOpen(connection, path, findings) != 0) return 1;
    struct Closer {
        ~Closer() { Serial_ClosePort(); }
    } closer;

    // 2-4: anything at all, framed, more than an echo.
    const int first = connection.nodes.front();
    const codec::Frame request = codec::UploadRequest(first, 0x1000, 0);
    const std::vector<std::uint8_t> bytes = Listen(request, kListenSeconds);
    std::size_t discarded = 0;
    const Heard heard = Understand(bytes, request, &discarded);
    if (!bytes.empty() && (heard.frames == 0 || discarded * 2 > bytes.size())) {
        return findings.Cause(
            std::to_string(bytes.size()) + " bytes within 1.5 s but " +
                (heard.frames == 0 ? "no 12-byte frame ending in CR LF"
                                   : std::to_string(discarded) + " of them outside frames"),
            "noise: the adapter sends at another serial rate than " +
                std::to_string(connection.baud) + " baud (or it is no serial-to-CAN adapter)",
            "give the adapter's rate with --baud (often 115200, 230400, 460800, 921600 or "
            "1000000)");
    }
    if (!bytes.empty() && heard.frames == heard.echoes) {
        return findings.Cause(
            "only the echo of the host's own frame came back within 1.5 s",
            "the adapter is there and echoes, but nothing on the CAN side answers",
            "check the CAN wiring and termination (120 ohm at both ends), the drives' power and "
            "the adapter's CAN bit rate");
    }
    if (!bytes.empty()) {
        std::string what = std::to_string(bytes.size()) + " bytes within 1.5 s, all in frames";
        std::vector<int> beating;
        for (const auto& [node, state] : heard.nmt) beating.push_back(node);
        if (!beating.empty()) what += " (heartbeats of " + NodeList(beating) + ")";
        findings.Ok(what);
        if (heard.echoes > 0)
            findings.Note("the adapter echoes the host's frames: harmless, the library skips them");
    }

    // 5: which nodes answer SDO: one batch to every node, with time to spare for slow ones.
    const int probe_ms = std::max(1500, user_limit_ms + 700);
    std::vector<int> answering;
    std::map<int, double> first_answer_ms;
    {
        QueryLimitMs limit(probe_ms);
        std::vector<int> nodes, indexes(codec::kMaxNode, 0x1000), subindexes(codec::kMaxNode, 0),
            results(codec::kMaxNode, 0);
        std::vector<unsigned> values(codec::kMaxNode, 0);
        for (int node = 1; node <= codec::kMaxNode; ++node) nodes.push_back(node);
        Orvex_ReadMany(codec::kMaxNode, nodes.data(), indexes.data(), subindexes.data(),
                       values.data(), results.data());
        ThrowIfInterrupted();
        for (int node = 1; node <= codec::kMaxNode; ++node) {
            const int result = results[static_cast<std::size_t>(node - 1)];
            if (result == ORVEX_OK || result == ORVEX_SDO_ABORT) answering.push_back(node);
        }
    }
    if (bytes.empty() && answering.empty()) {
        return findings.Cause("nothing arrived within 1.5 s, nor to a request to every node",
                              "no adapter answers on " + path +
                                  ": nothing is connected, the adapter has no power, "
                                  "or this is not the adapter's port",
                              "check the cable and the adapter's power, and that " + path +
                                  " is the adapter (ls -l /dev/serial/by-id)");
    }
    if (answering.empty() && heard.nmt.empty()) {
        return findings.Cause("frames arrive but no node answers SDO and none sends heartbeats",
                              "the drives are off the bus, or the adapter forwards nothing back",
                              "check the drives' power, the CAN wiring and the adapter's CAN bit "
                              "rate");
    }
    if (!answering.empty()) findings.Ok(NodesAnswer(answering) + " SDO");

    // The nodes to judge: those named, else every node found.
    std::vector<int> judged;
    if (connection.node_given) {
        judged = connection.nodes;
    } else {
        std::set<int> found(answering.begin(), answering.end());
        for (const auto& [node, state] : heard.nmt) found.insert(node);
        judged.assign(found.begin(), found.end());
    }
    auto answers = [&](int node) {
        return std::find(answering.begin(), answering.end(), node) != answering.end();
    };

    // 5-6: nodes that only send heartbeats, and their NMT state.
    if (!heard.nmt.empty()) {
        std::vector<std::string> states;
        for (const auto& [node, state] : heard.nmt)
            states.push_back("node " + std::to_string(node) + " " + NmtText(state));
        findings.Ok("NMT states: " + Join(states, ", "));
    }
    for (const int node : judged) {
        if (answers(node)) continue;
        const auto beat = heard.nmt.find(node);
        if (beat != heard.nmt.end() && beat->second == codec::kNmtStopped) {
            return findings.Cause(
                "node " + std::to_string(node) +
                    " sends heartbeats showing NMT stopped (0x04) and answers no SDO",
                "a stopped node answers no SDO",
                "start it (NMT start): orvex raw send " + NmtCommandFrame(codec::kNmtStart, node));
        }
        if (beat != heard.nmt.end()) {
            return findings.Cause(
                "node " + std::to_string(node) + " sends heartbeats (" + NmtText(beat->second) +
                    ") but answers no SDO",
                "its SDO server does not answer, or the adapter filters its answers (0x580+node)",
                "check the adapter's filters; reset the node: orvex raw send " +
                    NmtCommandFrame(codec::kNmtResetNode, node));
        }
        const std::string others = answering.empty() ? "no node answers" : NodesAnswer(answering);
        return findings.Cause(
            "node " + std::to_string(node) + ": no SDO answer within " + std::to_string(probe_ms) +
                " ms and no heartbeat (" + others + ")",
            "there is no node " + std::to_string(node) +
                " on this bus: a wrong node-id, or the drive is off",
            answering.empty() ? "check the drive's node-id setting and its power"
                              : "check the drive's node-id setting, or use --node " +
                                    std::to_string(answering.front()));
    }

    // 7: drives in fault.
    for (const int node : judged) {
        unsigned statusword = 0;
        QueryLimitMs limit(probe_ms);
        if (Orvex_GetState(node, &statusword) != ORVEX_STATE_FAULT) continue;
        int code = 0;
        const bool has_code = SDO_Read(node, 0x603F, 0, &code, 2) == 1;
        OrvexEvent latest{};
        const bool has_emcy = Orvex_Emergencies(node, &latest, 1) == 1;
        if (!has_code && has_emcy) code = static_cast<int>(latest.error_code);
        const std::string code_text =
            has_code || has_emcy
                ? ", error code " + HexValue(static_cast<std::uint16_t>(code), 2) + " (" +
                      ErrorCodeMeaning(static_cast<std::uint16_t>(code)) + ")"
                : "";
        return findings.Cause(
            "node " + std::to_string(node) + " is in fault" + code_text,
            "the drive switched its power stage off on that error",
            "remove its cause, then 'orvex --node " + std::to_string(node) + " reset'");
    }
    findings.Ok("no drive in fault");

    // 8: answers later than the limit.
    for (const int node : judged) {
        QueryLimitMs limit(probe_ms);
        int value = 0;
        const Clock::time_point start = Clock::now();
        const int read = SDO_Read(node, 0x1000, 0, &value, 4);
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        ThrowIfInterrupted();
        if ((read == 1 || Orvex_LastResult() == ORVEX_SDO_ABORT) && ms > user_limit_ms) {
            const int suggest = static_cast<int>(std::ceil(ms * 1.25 / 100.0) * 100.0);
            return findings.Cause("node " + std::to_string(node) + " answered after " +
                                      std::to_string(static_cast<int>(ms)) +
                                      " ms, later than the " + std::to_string(user_limit_ms) +
                                      " ms limit",
                                  "queries with that limit fail as 'no answer'",
                                  "raise the limit: --limit-ms " + std::to_string(suggest) +
                                      " (scan, watch), Orvex_SetTimeLimits(" +
                                      std::to_string(suggest) + ", 0) in programs");
        }
    }
    findings.Ok("answers within the " + std::to_string(user_limit_ms) + " ms limit");

    // 9: the USB latency timer (read only).
    char real[PATH_MAX];
    if (realpath(path.c_str(), real) != nullptr) {
        const std::string name = std::string(real).substr(std::string(real).rfind('/') + 1);
        const std::string timer_path = "/sys/class/tty/" + name + "/device/latency_timer";
        const std::string timer = ReadLine(timer_path);
        if (!timer.empty()) {
            if (std::atoi(timer.c_str()) > 1) {
                findings.Note("USB latency timer " + timer + " ms (" + timer_path +
                              "): every answer waits up to that long in the adapter; for "
                              "faster answers: echo 1 | sudo tee " +
                              timer_path);
            } else {
                findings.Ok("USB latency timer " + timer + " ms");
            }
        }
    }
    findings.Ok("the bus answers: no cause found");
    return 0;
}

}  // namespace orvex::cli
