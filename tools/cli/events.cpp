// orvex events: what the drives say by themselves (emergencies, boot-ups, NMT state changes,
// heartbeats lost and back), decoded by the library (Orvex_NextEvent), one line each.
#include <time.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>

#include "bus_commands.h"
#include "codec.h"
#include "format.h"
#include "interrupt.h"
#include "names.h"
#include "orvex.h"
#include "port.h"

namespace orvex::cli {

const char kEventsHelp[] =
    "Usage: orvex [connection] events [--node LIST] [--for S] [--heartbeat-ms T] [--json]\n"
    "\n"
    "Prints what the drives say by themselves as it comes (Orvex_NextEvent), one line each: the\n"
    "seconds since the start, the node, the kind and what it means: emergencies (EMCY) with the\n"
    "error code's meaning and the error register, boot-ups, NMT state changes seen in\n"
    "heartbeats, and with --heartbeat-ms heartbeats lost and back. Ends on Ctrl-C or after S\n"
    "seconds.\n"
    "--node LIST       only events of these nodes (--node 2, --node 1,3, --nodes 1-4)\n"
    "--for S           stop after S seconds\n"
    "--heartbeat-ms T  watch the heartbeats of the nodes given (--node): one 'heartbeat lost'\n"
    "                  when a node's heartbeat has not come for T ms, one 'heartbeat back' when\n"
    "                  it returns (Orvex_WatchHeartbeat)\n"
    "--json            one JSON object a line, for programs: time_ms (the library's tick),\n"
    "                  seconds, node, kind (emergency, boot-up, state-changed, heartbeat-lost,\n"
    "                  heartbeat-back), text, and error_code, error_register, data or nmt_state\n"
    "An adapter that forwards only answers to requests passes on no emergencies or heartbeats.\n"
    "\n"
    "Examples:\n"
    "  $ orvex --device /dev/ttyUSB0 events --for 60\n"
    "       0.412  node 2  emergency       0x8611 following error, error register 0x21 (generic "
    "error, manufacturer specific)\n"
    "       3.020  node 2  emergency       0x0000 error reset or no error, error register 0x00\n"
    "  orvex --device /dev/ttyUSB0 --nodes 1-3 events --heartbeat-ms 300 --json\n";

namespace {

// The longest wait Orvex_NextEvent takes; Ctrl-C cancels it (the loop then ends).
constexpr int kLongestWaitMs = 60000;

// The library's tick now (the monotonic clock in ms, as orvex.h documents for POSIX).
std::uint32_t LibraryTickMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint32_t>(static_cast<unsigned long long>(now.tv_sec) * 1000u +
                                      static_cast<unsigned long long>(now.tv_nsec) / 1000000u);
}

const char* KindWord(int kind) {
    switch (kind) {
        case ORVEX_EVENT_EMERGENCY:
            return "emergency";
        case ORVEX_EVENT_BOOT_UP:
            return "boot-up";
        case ORVEX_EVENT_STATE_CHANGED:
            return "state-changed";
        case ORVEX_EVENT_HEARTBEAT_LOST:
            return "heartbeat-lost";
        case ORVEX_EVENT_HEARTBEAT_BACK:
            return "heartbeat-back";
        default:
            return "unknown";
    }
}

std::string NmtText(unsigned state) {
    const char* name = codec::NmtStateName(static_cast<std::uint8_t>(state));
    return name != nullptr ? name : "state " + HexValue(state, 1);
}

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
            out += escaped;
            continue;
        }
        out += c;
    }
    return out + "\"";
}

}  // namespace

std::string EmergencyText(const OrvexEvent& event) {
    const std::string flags = Join(ErrorRegisterFlags(event.error_register), ", ");
    return HexValue(event.error_code, 2) + " " +
           ErrorCodeMeaning(static_cast<std::uint16_t>(event.error_code)) + ", error register " +
           HexValue(event.error_register, 1) + (flags.empty() ? "" : " (" + flags + ")");
}

std::string EventText(const OrvexEvent& event) {
    switch (event.kind) {
        case ORVEX_EVENT_EMERGENCY:
            return EmergencyText(event);
        case ORVEX_EVENT_BOOT_UP:
            return "the node started (boot-up)";
        case ORVEX_EVENT_STATE_CHANGED:
            return "NMT state now " + NmtText(event.nmt_state);
        case ORVEX_EVENT_HEARTBEAT_LOST:
            return "no heartbeat within the consumer time";
        case ORVEX_EVENT_HEARTBEAT_BACK:
            return "heartbeat back, " + NmtText(event.nmt_state);
        default:
            return "";
    }
}

int RunEvents(Arguments& args, const Connection& connection) {
    args.set_topic("events");
    const bool json = args.TakeFlag("--json");
    const auto for_word = args.TakeValue("--for");
    const std::optional<double> for_seconds =
        for_word ? std::optional<double>(ParseSeconds(*for_word, "--for", args.topic()))
                 : std::nullopt;
    const auto heartbeat_word = args.TakeValue("--heartbeat-ms");
    const int heartbeat_ms = heartbeat_word
                                 ? static_cast<int>(ParseInteger(*heartbeat_word, "--heartbeat-ms",
                                                                 1, 65535, args.topic()))
                                 : 0;
    if (heartbeat_ms > 0 && !connection.node_given) {
        throw UsageError("--heartbeat-ms watches the nodes given: add --node or --nodes",
                         args.topic());
    }
    args.ExpectEnd();

    Port port(connection);
    for (const int node : connection.nodes) {
        if (heartbeat_ms > 0) {
            port.Require(Orvex_WatchHeartbeat(node, heartbeat_ms),
                         "watch the heartbeat of " + NodeName(node));
        }
    }
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    const std::uint32_t start_tick = LibraryTickMs();
    std::optional<Clock::time_point> end;
    if (for_seconds) {
        end = start + std::chrono::duration_cast<Clock::duration>(
                          std::chrono::duration<double>(*for_seconds));
    }
    long shown = 0;
    while (PendingSignal() == 0) {
        int wait_ms = kLongestWaitMs;
        if (end) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(*end - Clock::now());
            if (left.count() <= 0) break;
            if (left.count() < wait_ms) wait_ms = static_cast<int>(left.count());
        }
        OrvexEvent event{};
        if (Orvex_NextEvent(&event, wait_ms) != 1) {
            if (Orvex_LastResult() == ORVEX_TIMEOUT || Orvex_LastResult() == ORVEX_CANCELLED) {
                continue;
            }
            port.Require(0, "receive events on " + port.label());
        }
        if (connection.node_given) {
            bool named = false;
            for (const int node : connection.nodes) named = named || node == event.node;
            if (!named) continue;
        }
        ++shown;
        // Wrap-safe: the tick is a 32-bit millisecond counter.
        const double seconds = static_cast<std::int32_t>(event.time_ms - start_tick) / 1000.0;
        const std::string text = EventText(event);
        if (json) {
            std::string line = "{\"time_ms\":" + std::to_string(event.time_ms);
            char number[32];
            std::snprintf(number, sizeof number, "%.3f", seconds);
            line += ",\"seconds\":" + std::string(number);
            line += ",\"node\":" + std::to_string(event.node);
            line += ",\"kind\":\"" + std::string(KindWord(event.kind)) + "\"";
            if (event.kind == ORVEX_EVENT_EMERGENCY) {
                line += ",\"error_code\":" + std::to_string(event.error_code);
                line += ",\"error_register\":" + std::to_string(event.error_register);
                line += ",\"data\":" + JsonString(codec::Hex(event.data, sizeof event.data));
            } else {
                line += ",\"nmt_state\":" + std::to_string(event.nmt_state);
            }
            line += ",\"text\":" + JsonString(text) + "}";
            std::cout << line << "\n";
        } else {
            char head[64];
            std::snprintf(head, sizeof head, "%10.3f  node %-3d %-15s ", seconds, event.node,
                          KindWord(event.kind));
            std::cout << head << text << "\n";
        }
        FlushOutput();
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    char summary[80];
    std::snprintf(summary, sizeof summary, "events: %ld in %.1f s", shown, seconds);
    std::cerr << summary << "\n";
    return 0;
}

}  // namespace orvex::cli
