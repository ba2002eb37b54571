// orvex monitor: every frame that arrives on the port, one decoded line each with the time since
// the start, until Ctrl-C or --for seconds; then the count of frames by kind.
#include <array>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "bus_commands.h"
#include "codec.h"
#include "describe.h"
#include "format.h"
#include "interrupt.h"
#include "orvex.h"
#include "port.h"

namespace orvex::cli {

const char kMonitorHelp[] =
    "Usage: orvex [connection] monitor [--node N] [--for S] [--raw] [--send FRAMES]\n"
    "\n"
    "Shows every frame that arrives on the port (Orvex_ReceiveFrame), one line each: the seconds\n"
    "since the start, the identifier, and what the frame says: SDO requests and answers with the\n"
    "object's name and value, aborts with their meaning, NMT commands, boot-ups, heartbeats with\n"
    "the NMT state, emergencies (EMCY) with the error code's meaning and the error register, and\n"
    "anything else as bytes. Ends on Ctrl-C or after S seconds and prints on stderr how many\n"
    "frames of each kind it saw.\n"
    "--node N  only frames of node N (and NMT commands to it or to all nodes)\n"
    "--for S   stop after S seconds\n"
    "--raw     print each frame's 12 bytes in hex instead, one frame a line, as 'orvex raw send'\n"
    "          takes them\n"
    "--send FRAMES\n"
    "          write these 12-byte frames (hex, as for 'orvex raw send', one after the other in\n"
    "          one word) once listening, to see what the bus does with them; each is shown with\n"
    "          '(sent)' (not with --raw)\n"
    "What an adapter forwards depends on the adapter: many pass on only the answers to requests.\n"
    "\n"
    "Examples:\n"
    "  $ orvex --device /dev/ttyUSB0 monitor --for 10\n"
    "       0.012  701  node 1  heartbeat operational\n"
    "       0.250  082  node 2  EMCY 0x2310 continuous over current, error register 0x03 "
    "(generic error, current)\n"
    "  orvex --device /dev/ttyUSB0 monitor --raw --for 5 > frames.txt\n"
    "  orvex --device /dev/ttyUSB0 monitor --for 2 --send '00 00 81 00 00 00 00 00 00 00 0D 0A'\n";

namespace {

// The longest wait Orvex_ReceiveFrame takes; Ctrl-C cancels it (the loop then ends).
constexpr int kLongestWaitMs = 60000;
constexpr std::size_t kKinds = static_cast<std::size_t>(codec::FrameKind::kOther) + 1;

// Whether `frame` concerns `node`: its own identifier, or an NMT command to it or to every node.
bool Concerns(const codec::Frame& frame, const codec::FrameInfo& info, int node) {
    if (info.kind == codec::FrameKind::kNmt) return frame[3] == 0 || frame[3] == node;
    return info.node == node && info.kind != codec::FrameKind::kOther;
}

// "06 01 40 ..." (separators: space, ':', ',', '-'; 0x prefixes allowed) as whole 12-byte frames.
std::vector<codec::Frame> ParseFrames(const std::string& text, const std::string& topic) {
    std::vector<std::uint8_t> bytes;
    AppendHexBytes(text, bytes, topic);
    if (bytes.empty() || bytes.size() % codec::kFrameSize != 0) {
        throw UsageError(
            "--send takes whole 12-byte frames, not " + std::to_string(bytes.size()) + " bytes",
            topic);
    }
    std::vector<codec::Frame> frames(bytes.size() / codec::kFrameSize);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        frames[i / codec::kFrameSize][i % codec::kFrameSize] = bytes[i];
    }
    return frames;
}

std::string Line(double seconds, const codec::Frame& frame) {
    char head[32];
    std::snprintf(head, sizeof head, "%10.3f  %03X  ", seconds,
                  static_cast<unsigned>(codec::CobId(frame)));
    return head + codec::DescribeFrame(frame, kLibraryTexts);
}

std::string Counts(const std::array<long, kKinds>& counts, double seconds) {
    long total = 0;
    std::string kinds;
    for (std::size_t k = 0; k < kKinds; ++k) {
        if (counts[k] == 0) continue;
        total += counts[k];
        kinds += (kinds.empty() ? ": " : ", ") +
                 std::string(codec::KindName(static_cast<codec::FrameKind>(k))) + " " +
                 std::to_string(counts[k]);
    }
    char head[64];
    std::snprintf(head, sizeof head, "%ld frame%s in %.1f s", total, total == 1 ? "" : "s",
                  seconds);
    return head + kinds;
}

}  // namespace

int RunMonitor(Arguments& args, const Connection& connection) {
    args.set_topic("monitor");
    const bool raw = args.TakeFlag("--raw");
    const auto for_word = args.TakeValue("--for");
    const std::optional<double> for_seconds =
        for_word ? std::optional<double>(ParseSeconds(*for_word, "--for", args.topic()))
                 : std::nullopt;
    const auto send_word = args.TakeValue("--send");
    const std::vector<codec::Frame> to_send =
        send_word ? ParseFrames(*send_word, args.topic()) : std::vector<codec::Frame>{};
    args.ExpectEnd();

    Port port(connection);
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    std::optional<Clock::time_point> end;
    if (for_seconds) {
        end = start + std::chrono::duration_cast<Clock::duration>(
                          std::chrono::duration<double>(*for_seconds));
    }
    std::array<long, kKinds> counts{};
    for (const codec::Frame& frame : to_send) {
        port.Require(U_Transmit(frame.data(), static_cast<int>(frame.size())),
                     "send " + codec::Hex(frame));
        if (!raw) {
            const double t = std::chrono::duration<double>(Clock::now() - start).count();
            std::cout << Line(t, frame) << "  (sent)"
                      << "\n";
            FlushOutput();
        }
    }
    while (PendingSignal() == 0) {
        int wait_ms = kLongestWaitMs;
        if (end) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(*end - Clock::now());
            if (left.count() <= 0) break;
            if (left.count() < wait_ms) wait_ms = static_cast<int>(left.count());
        }
        codec::Frame frame;
        if (Orvex_ReceiveFrame(frame.data(), wait_ms) != 1) {
            if (Orvex_LastResult() == ORVEX_TIMEOUT || Orvex_LastResult() == ORVEX_CANCELLED) {
                continue;
            }
            port.Require(0, "receive frames on " + port.label());
        }
        const codec::FrameInfo info = codec::Classify(frame);
        if (connection.node_given && !Concerns(frame, info, connection.node)) continue;
        ++counts[static_cast<std::size_t>(info.kind)];
        if (raw) {
            std::cout << codec::Hex(frame) << "\n";
            FlushOutput();
        } else {
            const double t = std::chrono::duration<double>(Clock::now() - start).count();
            std::cout << Line(t, frame) << "\n";
            FlushOutput();
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::cerr << "monitor: " << Counts(counts, seconds) << "\n";
    return 0;
}

}  // namespace orvex::cli
