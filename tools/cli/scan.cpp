// orvex scan: asks every node in a range for its device type (0x1000) with a short time limit,
// then reads the identity (0x1018), for drives the CiA 402 state, and the device name (0x1008) and
// software version (0x100A) of the nodes that answered.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "bus_commands.h"
#include "drive_objects.h"
#include "format.h"
#include "interrupt.h"
#include "names.h"
#include "orvex.h"
#include "port.h"
#include "progress.h"

namespace orvex::cli {

const char kScanHelp[] =
    "Usage: orvex [connection] scan [--from N] [--to M] [--limit-ms T]\n"
    "\n"
    "Finds the nodes that answer: asks nodes N..M (default 1..127) for their device type\n"
    "(0x1000) and waits at most T ms for each (default 20). For every node that answers it\n"
    "then reads, with the usual limits, the identity 0x1018 (vendor-ID, product code, revision,\n"
    "serial number), for a CiA 402 drive (profile 402) the statusword's state, and on a line\n"
    "of its own the device name 0x1008 and software version 0x100A (strings of any length,\n"
    "left out when the node lacks them).\n"
    "A node that refuses the device type (SDO abort) is listed too. Progress is shown on stderr\n"
    "when it is a terminal. Scanning 1..127 with nothing answering takes under 3 s.\n"
    "--node is not used. Raise --limit-ms for adapters or drives that answer slowly.\n"
    "\n"
    "Example:\n"
    "  $ orvex --device /dev/ttyUSB0 scan\n"
    "  node  device type  profile  vendor-ID   product     revision    serial      state\n"
    "     1  0x00020192   402      0x000005A1  0x00004402  0x00010003  0x20240001  switch on "
    "disabled\n"
    "        name \"orvex-sim CiA 402 servo drive\", software \"orvex-sim 1.3.1\"\n"
    "  1 node answered in 1-127 (20 ms a node), 2.7 s\n";

namespace {

constexpr int kDefaultLimitMs = 20;

struct Found {
    int node;
    std::optional<std::uint32_t> device_type;  // none when the node refused it
    std::uint32_t refusal = 0;                 // the abort code then
};

// One SDO upload: the value, nothing for a time-out or an abort (with its code in `abort`), and
// a failure for anything the port itself reports.
std::optional<std::uint32_t> TryRead(const Port& port, int node, std::uint16_t index,
                                     std::uint8_t subindex, int size, std::uint32_t* abort) {
    int raw = 0;
    if (SDO_Read(node, index, subindex, &raw, size) == 1) {
        std::uint32_t value = static_cast<std::uint32_t>(raw);
        if (size < 4) value &= (1u << (8 * size)) - 1u;
        return value;
    }
    switch (Orvex_LastResult()) {
        case ORVEX_SDO_ABORT:
            if (abort != nullptr) *abort = Orvex_LastAbortCode();
            return std::nullopt;
        case ORVEX_TIMEOUT:
            return std::nullopt;
        default:
            port.Require(0,
                         "read " + codec::ObjectRefText(index, subindex) + " of " + NodeName(node));
            return std::nullopt;
    }
}

// A string object (device name, software version) as text, or nothing when the node lacks it or
// does not answer in time.
std::optional<std::string> TryReadText(const Port& port, int node, std::uint16_t index) {
    std::vector<std::uint8_t> data;
    try {
        if (!port.UploadIfPresent(node, {index, 0}, &data, 256)) return std::nullopt;
    } catch (const Failure&) {
        if (Orvex_LastResult() != ORVEX_TIMEOUT) throw;
        return std::nullopt;
    }
    std::size_t end = data.size();
    while (end > 0 && data[end - 1] == 0) --end;
    std::string text;
    for (std::size_t i = 0; i < end; ++i) {
        const char c = static_cast<char>(data[i]);
        text += c >= 0x20 && c <= 0x7E ? c : '?';
    }
    return text;
}

// The line under a node's row with its name and software version, or nothing when it has neither.
std::string NamesLine(const Port& port, int node) {
    const auto name = TryReadText(port, node, codec::kDeviceName);
    const auto software = TryReadText(port, node, codec::kSoftwareVersion);
    std::string line;
    if (name) line += "name \"" + *name + "\"";
    if (software) line += std::string(line.empty() ? "" : ", ") + "software \"" + *software + "\"";
    return line.empty() ? line : "      " + line;
}

std::string Column(const std::optional<std::uint32_t>& value, int bytes) {
    return value ? HexValue(*value, bytes) : "-";
}

std::string Row(const Port& port, const Found& found) {
    const int node = found.node;
    std::optional<std::uint32_t> identity[4];
    for (std::uint8_t sub = 1; sub <= 4; ++sub) {
        identity[sub - 1] = TryRead(port, node, codec::kIdentity, sub, 4, nullptr);
    }
    std::string profile = "-";
    std::string state;
    if (found.device_type) {
        const std::uint16_t number = codec::DeviceProfile(*found.device_type);
        profile = std::to_string(number);
        if (number == codec::kDriveProfile) {
            std::uint32_t abort = 0;
            const auto statusword = TryRead(port, node, codec::kStatusword, 0, 2, &abort);
            state = statusword ? StateName(static_cast<std::uint16_t>(*statusword))
                               : "statusword not read";
        }
    } else {
        state = "device type refused: " + HexValue(found.refusal, 4) + " " +
                Orvex_AbortText(found.refusal);
    }
    char line[160];
    std::snprintf(line, sizeof line, "%4d  %-11s  %-7s  %-10s  %-10s  %-10s  %-10s  ", node,
                  Column(found.device_type, 4).c_str(), profile.c_str(),
                  Column(identity[0], 4).c_str(), Column(identity[1], 4).c_str(),
                  Column(identity[2], 4).c_str(), Column(identity[3], 4).c_str());
    std::string row = line + state;
    while (!row.empty() && row.back() == ' ') row.pop_back();
    return row;
}

}  // namespace

int RunScan(Arguments& args, const Connection& connection) {
    args.set_topic("scan");
    const std::string& topic = args.topic();
    const auto from_word = args.TakeValue("--from");
    const auto to_word = args.TakeValue("--to");
    const auto limit_word = args.TakeValue("--limit-ms");
    const int from =
        from_word ? static_cast<int>(ParseInteger(*from_word, "--from", 1, kMaxNode, topic)) : 1;
    const int to =
        to_word ? static_cast<int>(ParseInteger(*to_word, "--to", 1, kMaxNode, topic)) : kMaxNode;
    const int limit_ms =
        limit_word ? static_cast<int>(ParseInteger(*limit_word, "--limit-ms", 1, 60000, topic))
                   : kDefaultLimitMs;
    if (from > to) {
        throw UsageError("--from " + std::to_string(from) + " is above --to " + std::to_string(to),
                         topic);
    }
    args.ExpectEnd();

    Port port(connection);
    const auto start = std::chrono::steady_clock::now();
    std::vector<Found> found;
    {
        const QueryLimit limit(limit_ms, port);
        std::optional<ProgressLine> progress;
        if (isatty(STDERR_FILENO) == 1) progress.emplace();
        for (int node = from; node <= to; ++node) {
            ThrowIfInterrupted();
            if (progress) {
                progress->Update("scanning node " + std::to_string(node) + " of " +
                                     std::to_string(from) + "-" + std::to_string(to) + ", " +
                                     std::to_string(found.size()) + " found",
                                 node);
            }
            std::uint32_t abort = 0;
            const auto device_type = TryRead(port, node, codec::kDeviceType, 0, 4, &abort);
            if (device_type) {
                found.push_back({node, device_type});
            } else if (Orvex_LastResult() == ORVEX_SDO_ABORT) {
                found.push_back({node, std::nullopt, abort});
            }
        }
        if (progress) progress->Finish("scanned " + std::to_string(to - from + 1) + " nodes");
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    if (!found.empty()) {
        std::cout << "node  device type  profile  vendor-ID   product     revision    serial      "
                     "state\n";
        for (const Found& f : found) {
            std::cout << Row(port, f) << "\n";
            const std::string names = NamesLine(port, f.node);
            if (!names.empty()) std::cout << names << "\n";
        }
    }
    char summary[128];
    const std::string range = std::to_string(from) + "-" + std::to_string(to);
    if (found.empty()) {
        std::snprintf(summary, sizeof summary, "no node answered in %s (%d ms a node), %.1f s",
                      range.c_str(), limit_ms, seconds);
    } else {
        std::snprintf(summary, sizeof summary, "%zu node%s answered in %s (%d ms a node), %.1f s",
                      found.size(), found.size() == 1 ? "" : "s", range.c_str(), limit_ms, seconds);
    }
    std::cout << summary << "\n";
    if (found.empty()) {
        // A slow adapter or bus answers after the scan has moved on, while a query with the
        // library's full limit (status, sdo read) still works.
        std::cerr << "orvex: answers may take longer than " << limit_ms
                  << " ms a node on a slow adapter or bus: raise the limit with --limit-ms "
                     "(such as --limit-ms 1000)\n";
    }
    return 0;
}

}  // namespace orvex::cli
