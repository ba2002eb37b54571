#include "sim_options.h"

#include <cerrno>
#include <cstdlib>

namespace orvex::sim {

namespace {

bool ParseInt(const std::string& text, long low, long high, int* value) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    const long parsed = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || parsed < low || parsed > high) return false;
    *value = static_cast<int>(parsed);
    return true;
}

// N or N:CODE, the code in hex with 0x or in decimal.
bool ParseFaultNode(const std::string& text, int* node, uint16_t* code) {
    const std::size_t colon = text.find(':');
    if (!ParseInt(text.substr(0, colon), 1, 127, node)) return false;
    *code = kFollowingError;
    if (colon == std::string::npos) return true;
    const std::string raw = text.substr(colon + 1);
    if (raw.empty() || raw[0] == '-' || raw[0] == '+') return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long parsed = std::strtoul(raw.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || parsed == 0 || parsed > 0xFFFF) return false;
    *code = static_cast<uint16_t>(parsed);
    return true;
}

struct FaultName {
    const char* name;
    SdoFaultKind kind;
};
constexpr FaultName kSdoFaultNames[] = {
    {"toggle", SdoFaultKind::kWrongToggle}, {"abort", SdoFaultKind::kAbort},
    {"silent", SdoFaultKind::kSilent},      {"lose", SdoFaultKind::kLoseSegment},
    {"crc", SdoFaultKind::kCrcMismatch},    {"no-size", SdoFaultKind::kSizeNotIndicated},
};

// N:KIND or N:KIND:SEGMENT.
bool ParseSdoFault(const std::string& text, SdoFault* fault) {
    const std::size_t first = text.find(':');
    if (first == std::string::npos) return false;
    if (!ParseInt(text.substr(0, first), 1, 127, &fault->node)) return false;
    const std::size_t second = text.find(':', first + 1);
    const std::string kind = text.substr(
        first + 1, second == std::string::npos ? std::string::npos : second - first - 1);
    fault->kind = SdoFaultKind::kNone;
    for (const FaultName& name : kSdoFaultNames)
        if (kind == name.name) fault->kind = name.kind;
    if (fault->kind == SdoFaultKind::kNone) return false;
    fault->segment = 2;
    return second == std::string::npos ||
           ParseInt(text.substr(second + 1), 1, 1000000, &fault->segment);
}

// N:MS, or N:MS:UNTIL where `until` is given (UNTIL after MS).
bool ParseTimed(const std::string& text, int* node, int* at_ms, int* until_ms) {
    const std::size_t first = text.find(':');
    if (first == std::string::npos || !ParseInt(text.substr(0, first), 1, 127, node)) return false;
    const std::size_t second = text.find(':', first + 1);
    const std::string at = text.substr(
        first + 1, second == std::string::npos ? std::string::npos : second - first - 1);
    if (!ParseInt(at, 0, 86400000, at_ms)) return false;
    if (second == std::string::npos) return true;
    return until_ms != nullptr && ParseInt(text.substr(second + 1), *at_ms + 1, 86400000, until_ms);
}

}  // namespace

std::string ParseOptions(int argc, const char* const* argv, SimOptions* options) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        bool has_inline_value = false;
        const std::size_t equals = arg.find('=');
        if (arg.rfind("--", 0) == 0 && equals != std::string::npos) {
            value = arg.substr(equals + 1);
            arg = arg.substr(0, equals);
            has_inline_value = true;
        }

        auto flag = [&](bool* target, bool set = true) -> std::string {
            if (has_inline_value) return "option " + arg + " takes no value";
            *target = set;
            return "";
        };
        auto text = [&](std::string* target) -> std::string {
            if (!has_inline_value) {
                if (i + 1 >= argc) return "option " + arg + " needs a value";
                value = argv[++i];
            }
            if (value.empty()) return "option " + arg + " needs a non-empty value";
            *target = value;
            return "";
        };
        auto number = [&](int* target, long low, long high) -> std::string {
            std::string raw;
            std::string error = text(&raw);
            if (!error.empty()) return error;
            if (!ParseInt(raw, low, high, target)) {
                return "option " + arg + " needs a whole number from " + std::to_string(low) +
                       " to " + std::to_string(high) + ", not '" + raw + "'";
            }
            return "";
        };

        std::string error;
        if (arg == "--help" || arg == "-h") {
            error = flag(&options->help);
        } else if (arg == "--version") {
            error = flag(&options->version);
        } else if (arg == "--write-eds") {
            error = text(&options->eds_path);
        } else if (arg == "--drives") {
            error = number(&options->server.drive_count, 1, 127);
        } else if (arg == "--link") {
            error = text(&options->link_path);
        } else if (arg == "--force") {
            error = flag(&options->force_link);
        } else if (arg == "--acks") {
            error = flag(&options->server.acks);
        } else if (arg == "--no-acks") {
            error = flag(&options->server.acks, false);
        } else if (arg == "--strict-sizes") {
            error = flag(&options->server.strict_sizes);
        } else if (arg == "--delay-ms") {
            error = number(&options->delay_ms, 0, 60000);
        } else if (arg == "--drop-every") {
            error = number(&options->drop_every, 0, 1000000);
        } else if (arg == "--garbage-every") {
            error = number(&options->garbage_every, 0, 1000000);
        } else if (arg == "--baud") {
            error = number(&options->line.baud, 0, 12000000);
        } else if (arg == "--latency-ms") {
            error = number(&options->line.latency_ms, 0, 255);
        } else if (arg == "--can-kbit") {
            error = number(&options->line.can_kbit, 0, 1000);
        } else if (arg == "--strict-402") {
            error = flag(&options->server.strict_402);
        } else if (arg == "--heartbeat-ms") {
            error = number(&options->server.heartbeat_ms, 0, 65535);
        } else if (arg == "--fault-node") {
            std::string raw;
            error = text(&raw);
            if (error.empty() &&
                !ParseFaultNode(raw, &options->server.fault_node, &options->server.fault_code)) {
                error =
                    "option --fault-node needs N or N:CODE (node 1-127, code 0x0001-0xFFFF), "
                    "not '" +
                    raw + "'";
            }
        } else if (arg == "--fault-at-ms" || arg == "--silence-at-ms") {
            // Timed events on the bus, for tests of what a host sees when a drive faults or
            // falls silent while it runs.
            std::string raw;
            error = text(&raw);
            const bool fault = arg == "--fault-at-ms";
            int node = 0, at_ms = 0, until_ms = -1;
            if (error.empty() && !ParseTimed(raw, &node, &at_ms, fault ? nullptr : &until_ms)) {
                error = "option " + arg + " needs " + (fault ? "N:MS" : "N:MS[:UNTIL]") +
                        " (node 1-127, ms since start" + (fault ? "" : ", UNTIL after MS") +
                        "), not '" + raw + "'";
            }
            if (error.empty() && fault) options->server.faults_at.push_back({node, at_ms});
            if (error.empty() && !fault)
                options->server.silences.push_back({node, at_ms, until_ms});
        } else if (arg == "--homing-error-node") {
            error = number(&options->server.homing_error_node, 1, 127);
        } else if (arg == "--no-block") {
            error = flag(&options->server.refuse_block);
        } else if (arg == "--sdo-fault") {
            std::string raw;
            error = text(&raw);
            SdoFault fault;
            if (error.empty() && !ParseSdoFault(raw, &fault)) {
                error =
                    "option --sdo-fault needs N:KIND[:SEGMENT] (node 1-127; KIND toggle, "
                    "abort, silent, lose, crc or no-size), not '" +
                    raw + "'";
            }
            if (error.empty()) {
                for (const SdoFault& other : options->server.sdo_faults)
                    if (other.node == fault.node)
                        error =
                            "--sdo-fault: node " + std::to_string(fault.node) + " has one already";
            }
            if (error.empty()) options->server.sdo_faults.push_back(fault);
        } else if (arg == "--trace") {
            error = text(&options->trace_path);
        } else if (arg == "--quiet") {
            error = flag(&options->quiet);
        } else {
            error = "unknown option '" + std::string(argv[i]) + "'";
        }
        if (!error.empty()) return error;
    }
    for (const SdoFault& fault : options->server.sdo_faults) {
        if (fault.node > options->server.drive_count)
            return "--sdo-fault node " + std::to_string(fault.node) + " is not one of the " +
                   std::to_string(options->server.drive_count) + " drives";
    }
    for (const TimedFault& fault : options->server.faults_at) {
        if (fault.node > options->server.drive_count)
            return "--fault-at-ms node " + std::to_string(fault.node) + " is not one of the " +
                   std::to_string(options->server.drive_count) + " drives";
    }
    for (const Silence& silence : options->server.silences) {
        if (silence.node > options->server.drive_count)
            return "--silence-at-ms node " + std::to_string(silence.node) + " is not one of the " +
                   std::to_string(options->server.drive_count) + " drives";
    }
    if (options->server.homing_error_node > options->server.drive_count) {
        return "--homing-error-node " + std::to_string(options->server.homing_error_node) +
               " is not one of the " + std::to_string(options->server.drive_count) + " drives";
    }
    if (options->server.fault_node > options->server.drive_count) {
        return "--fault-node " + std::to_string(options->server.fault_node) +
               " is not one of the " + std::to_string(options->server.drive_count) + " drives";
    }
    return "";
}

std::string UsageText(const std::string& program) {
    return "Usage: " + program +
           " [options]\n"
           "\n"
           "Plays a serial-to-CAN adapter with simulated CiA 402 servo drives behind it on a\n"
           "pseudo-terminal. The first line on stdout is the terminal's path; open it as the\n"
           "serial port. Stops cleanly on SIGINT or SIGTERM.\n"
           "\n"
           "Drives:\n"
           "  --drives N          drives on the bus, nodes 1..N (1-127, default 2)\n"
           "  --strict-402        drives follow the CiA 402 state machine to the letter: power up\n"
           "                      in switch on disabled, take each command only where its\n"
           "                      transition exists, start set-points and homing on a rising\n"
           "                      bit 4, acknowledge set-points with bit 12, reset a fault on a\n"
           "                      rising bit 7; implies --strict-sizes. Without it, drives take\n"
           "                      the host's controlwords directly (0x000F enables from any "
           "state)\n"
           "  --strict-sizes      abort downloads whose size differs from the object's\n"
           "                      (0x06070010) instead of storing the low bytes\n"
           "  --fault-node N[:CODE]\n"
           "                      drive N is in fault from power-up (and after an NMT reset node)\n"
           "                      with error code CODE (hex with 0x, or decimal; default 0x8611,\n"
           "                      following error)\n"
           "  --fault-at-ms N:MS  drive N faults MS ms after the start (following error 0x8611,\n"
           "                      error register 0x21; its EMCY goes out); repeatable\n"
           "  --silence-at-ms N:MS[:UNTIL]\n"
           "                      drive N falls silent MS ms after the start, as one cut off the\n"
           "                      bus: no heartbeats, no answers, deaf to NMT; back at UNTIL ms\n"
           "                      when given; repeatable\n"
           "  --homing-error-node N\n"
           "                      every homing run of drive N fails: it stops with a homing error\n"
           "                      (statusword bit 13) instead of attaining home\n"
           "  --heartbeat-ms N    each drive sends a heartbeat (0x700+node, its NMT state) every\n"
           "                      N ms (0-65535, default 0 = none; 0x1017 changes it per drive)\n"
           "  --no-block          refuse block transfers (abort 0x05040001), as servers without\n"
           "                      them do; expedited and segmented transfers still work\n"
           "\n"
           "Objects: every drive serves its name 0x1008, hardware version 0x1009 and software\n"
           "version 0x100A as strings, and a writable DOMAIN 0x2010 of up to 4096 bytes (empty at\n"
           "power-up), by expedited, segmented or block transfer.\n"
           "\n"
           "Transmit PDOs: 0x1800-0x1803 (COB-ID 0x180/0x280/0x380/0x480+node, not valid at\n"
           "power-up; type; inhibit time, 100 us; event timer, ms) and mappings 0x1A00-0x1A03 (up\n"
           "to 8 entries, 64 bits, of 0x1001 0x603F 0x6041 0x6061 0x6064 0x606C 0x6077 0x60FD).\n"
           "A valid TPDO of type 254 or 255 sends every event-timer period while its drive is NMT\n"
           "operational, paced by the line model; the adapter queues 4096 bytes for the host.\n"
           "\n"
           "Adapter and line:\n"
           "  --acks              forward everything on the bus (the default): download\n"
           "                      confirmations, boot-ups (at power-up and after NMT resets) and\n"
           "                      emergencies (EMCY, 0x80+node) as well as answers\n"
           "  --no-acks           forward nothing but answers to requests: no download\n"
           "                      confirmations (0x60), boot-ups or emergencies, for tests of\n"
           "                      adapters that forward no confirmations\n"
           "  --baud B            pace the bytes each way at B baud, 10 bits a byte (default 0 =\n"
           "                      instant)\n"
           "  --latency-ms L      hold bytes for the host like a USB-serial latency timer: sent\n"
           "                      L ms after the first held byte, or when 62 are held (0-255,\n"
           "                      default 0 = off)\n"
           "  --can-kbit K        each CAN frame takes its time on a K kbit/s bus, one frame at a\n"
           "                      time (default 0 = no bus time)\n"
           "\n"
           "Faults and output:\n"
           "  --delay-ms D        send each answer D ms after its request (default 0)\n"
           "  --drop-every N      do not send the Nth, 2Nth, ... answer (default 0 = off)\n"
           "  --garbage-every N   send 1-11 garbage bytes before every Nth answer (default 0 = "
           "off)\n"
           "  --sdo-fault N:KIND[:SEG]\n"
           "                      drive N spoils every transfer of more than four bytes at its\n"
           "                      SEGth segment (default 2; repeat the option for other drives):\n"
           "                      toggle (wrong toggle bit), abort (abort 0x08000000), silent\n"
           "                      (that segment or its answer never comes), lose (a block\n"
           "                      segment lost once), crc (block upload ends with a wrong CRC),\n"
           "                      no-size (uploads announce no size; SEG unused)\n"
           "  --link PATH         keep a symlink PATH to the terminal, removed on exit; a stale\n"
           "                      link is replaced, one to a terminal another orvex-sim serves\n"
           "                      is refused\n"
           "  --force             with --link, take the link over even from a running orvex-sim\n"
           "  --trace FILE        log every frame received and sent to FILE\n"
           "  --quiet             no live status display on stderr (it is shown only while\n"
           "                      orvex-sim runs in the foreground of its terminal)\n"
           "  --write-eds FILE    write the simulated drive's electronic data sheet (EDS) to FILE\n"
           "                      (- for stdout) and exit: every object with its type, access\n"
           "                      and power-on value, for CANopen tools such as python-canopen\n"
           "  --version           show orvex-sim's version\n"
           "  --help              show this text\n"
           "\n"
           "Examples:\n"
           "  " +
           program +
           " --drives 3 --link /tmp/orvex-port --trace /tmp/orvex.trace\n"
           "  " +
           program +
           " --strict-402 --heartbeat-ms 500 --fault-node 2 --link /tmp/orvex-port\n"
           "  " +
           program +
           " --baud 115200 --latency-ms 16 --can-kbit 500 --link /tmp/orvex-port\n"
           "  " +
           program + " --no-acks --link /tmp/orvex-port\n";
}

}  // namespace orvex::sim
