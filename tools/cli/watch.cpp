// orvex watch: the position and statusword of many drives, read in one pipelined batch
// (Orvex_ReadMany) per refresh. On a terminal the table is redrawn in place; otherwise each
// refresh prints one line a drive.
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "bus_commands.h"
#include "drive_objects.h"
#include "format.h"
#include "interrupt.h"
#include "names.h"
#include "orvex.h"
#include "port.h"

namespace orvex::cli {

const char kWatchHelp[] =
    "Usage: orvex [connection] watch --nodes LIST [--every S] [--count N] [--limit-ms T]\n"
    "                                [--stream [--period-ms P]]\n"
    "\n"
    "Reads the position (0x6064) and statusword (0x6041) of every drive in LIST in one\n"
    "pipelined batch (Orvex_ReadMany): all requests go out at once and the answers are matched\n"
    "as they come, so a refresh costs about one round trip however many drives there are.\n"
    "On a terminal the table is redrawn in place; otherwise every refresh prints one line a\n"
    "drive, with the seconds since the start. Ends on Ctrl-C or after N refreshes.\n"
    "--nodes LIST  drives to read: numbers and ranges, '1-8' or '1,3,5-7' (default: --node,\n"
    "              which takes a list too)\n"
    "--every S     seconds from one refresh to the next (default 0.5)\n"
    "--count N     stop after N refreshes (0, the default: until Ctrl-C)\n"
    "--limit-ms T  how long a refresh waits for the last answers (default: the library's 800 ms);\n"
    "              the time the batch's frames take on the line at --baud is added to it. A\n"
    "              short limit keeps the refresh rate up while a drive is silent\n"
    "--stream      follow the drives from their own transmit PDOs instead of polling: each\n"
    "              drive is set up to send position and statusword every P ms by itself\n"
    "              (Orvex_StreamStart; the drive goes NMT operational), the table shows the\n"
    "              newest values and their age, and the streams are stopped at the end\n"
    "--period-ms P the streams' period (default 10)\n"
    "A drive that does not answer shows 'no answer'; one that refuses shows the abort code.\n"
    "\n"
    "Examples:\n"
    "  orvex --device /dev/ttyUSB0 watch --nodes 1-8\n"
    "  $ orvex --device /dev/ttyUSB0 watch --nodes 1,2 --count 1\n"
    "       0.000  node 1  position 0  statusword 0x0250  switch on disabled\n"
    "       0.000  node 2  position 1000  statusword 0x0637  operation enabled\n";

namespace {

constexpr double kDefaultEverySeconds = 0.5;
constexpr std::size_t kItemsPerNode = 2;                // position, statusword
constexpr std::size_t kMaxBatch = 127 / kItemsPerNode;  // nodes in one Orvex_ReadMany

struct Reading {
    int node = 0;
    int position_result;
    int status_result;
    std::int32_t position;
    std::uint16_t statusword;
    std::uint32_t abort;  // the abort code when one item of the batch was refused, else 0
    int age_ms = -1;      // streamed values: how old they are
};

// What a stream carries, in this order.
const unsigned kStreamed[] = {0x60640020, 0x60410010};  // position, statusword

// The newest streamed values of each drive: no request on the line.
std::vector<Reading> ReadStreams(const std::vector<int>& nodes) {
    std::vector<Reading> readings;
    for (int node : nodes) {
        unsigned values[2] = {};
        int age = -1;
        const int result =
            Orvex_StreamRead(node, values, 2, &age, nullptr) == 1 ? ORVEX_OK : Orvex_LastResult();
        readings.push_back({node, result, result, static_cast<std::int32_t>(values[0]),
                            static_cast<std::uint16_t>(values[1] & 0xFFFF), 0, age});
    }
    return readings;
}

// One batch per kMaxBatch drives. Items that time out or are refused are reported per drive;
// a port that fails ends the command.
std::vector<Reading> ReadAll(const Port& port, const std::vector<int>& nodes) {
    std::vector<Reading> readings;
    for (std::size_t first = 0; first < nodes.size(); first += kMaxBatch) {
        const std::size_t count = std::min(kMaxBatch, nodes.size() - first);
        std::vector<int> item_nodes, indexes, subindexes, results;
        for (std::size_t i = 0; i < count; ++i) {
            for (unsigned index : {kPositionActual.index, kStatusword.index}) {
                item_nodes.push_back(nodes[first + i]);
                indexes.push_back(static_cast<int>(index));
                subindexes.push_back(0);
            }
        }
        std::vector<unsigned> values(item_nodes.size(), 0);
        results.assign(item_nodes.size(), ORVEX_TIMEOUT);
        Orvex_ReadMany(static_cast<int>(item_nodes.size()), item_nodes.data(), indexes.data(),
                       subindexes.data(), values.data(), results.data());
        const int outcome = Orvex_LastResult();
        if (outcome != ORVEX_OK && outcome != ORVEX_TIMEOUT && outcome != ORVEX_SDO_ABORT) {
            port.Require(0, "read " + std::to_string(count) + " drives");
        }
        // The library keeps the first abort's code: it belongs to an item only when it is the one.
        const auto refused = std::count(results.begin(), results.end(), ORVEX_SDO_ABORT);
        const std::uint32_t abort = refused == 1 ? Orvex_LastAbortCode() : 0;
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t p = kItemsPerNode * i;
            readings.push_back({nodes[first + i], results[p], results[p + 1],
                                static_cast<std::int32_t>(values[p]),
                                static_cast<std::uint16_t>(values[p + 1] & 0xFFFF), abort});
        }
    }
    return readings;
}

std::string Problem(int result, std::uint32_t abort) {
    if (result == ORVEX_TIMEOUT) return "no answer";
    if (result == ORVEX_WRONG_STATE) return "not streaming";
    if (result == ORVEX_SDO_ABORT) {
        if (abort == 0) return "SDO abort";
        return "SDO abort " + HexValue(abort, 4) + " " + Orvex_AbortText(abort);
    }
    return Orvex_ResultText(result);
}

std::string PositionText(const Reading& r) {
    return r.position_result == ORVEX_OK ? std::to_string(r.position) : "-";
}

std::string StatusText(const Reading& r) {
    return r.status_result == ORVEX_OK ? HexValue(r.statusword, 2) : "-";
}

std::string StateText(const Reading& r) {
    if (r.status_result != ORVEX_OK) return Problem(r.status_result, r.abort);
    if (r.position_result != ORVEX_OK) {
        return std::string(StateName(r.statusword)) +
               " (position: " + Problem(r.position_result, r.abort) + ")";
    }
    if (r.age_ms >= 0)
        return std::string(StateName(r.statusword)) + ", " + std::to_string(r.age_ms) + " ms old";
    return StateName(r.statusword);
}

// The table, redrawn in place on a terminal.
class Table {
  public:
    void Show(const std::vector<Reading>& readings) {
        std::string text;
        if (lines_ > 0) text += "\033[" + std::to_string(lines_) + "A";
        text += "\033[2Knode  position     statusword  state\n";
        char line[96];
        for (const Reading& r : readings) {
            std::snprintf(line, sizeof line, "\033[2K%4d  %11s  %-10s  ", r.node,
                          PositionText(r).c_str(), StatusText(r).c_str());
            text += line + StateText(r) + "\n";
        }
        lines_ = static_cast<int>(readings.size()) + 1;
        std::cout << text;
        FlushOutput();
    }

  private:
    int lines_ = 0;
};

void ShowLines(const std::vector<Reading>& readings, double seconds) {
    char head[32];
    std::snprintf(head, sizeof head, "%10.3f  ", seconds);
    for (const Reading& r : readings) {
        std::cout << head << NodeName(r.node) << "  position " << PositionText(r) << "  statusword "
                  << StatusText(r) << "  " << StateText(r) << "\n";
    }
    FlushOutput();
}

}  // namespace

int RunWatch(Arguments& args, const Connection& connection) {
    args.set_topic("watch");
    const std::string& topic = args.topic();
    const auto every_word = args.TakeValue("--every");
    const auto count_word = args.TakeValue("--count");
    const auto limit_word = args.TakeValue("--limit-ms");
    const bool stream = args.TakeFlag("--stream");
    const auto period_word = args.TakeValue("--period-ms");
    const std::vector<int>& nodes = connection.nodes;
    const double every =
        every_word ? ParseSeconds(*every_word, "--every", topic) : kDefaultEverySeconds;
    const long long count =
        count_word ? ParseInteger(*count_word, "--count", 0, 1000000000, topic) : 0;
    const int limit_ms =
        limit_word ? static_cast<int>(ParseInteger(*limit_word, "--limit-ms", 1, 60000, topic)) : 0;
    const int period_ms =
        period_word ? static_cast<int>(ParseInteger(*period_word, "--period-ms", 1, 65535, topic))
                    : 10;
    if (period_word && !stream) throw UsageError("--period-ms goes with --stream", topic);
    args.ExpectEnd();

    Port port(connection);
    std::optional<QueryLimit> limit;
    if (limit_ms > 0) limit.emplace(limit_ms, port);
    if (stream) {
        for (int node : nodes)
            port.Require(Orvex_StreamStart(node, kStreamed, 2, period_ms),
                         "start the stream of " + NodeName(node));
    }
    const bool terminal = isatty(STDOUT_FILENO) == 1;
    Table table;
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    for (long long round = 0; count == 0 || round < count; ++round) {
        const Clock::time_point due =
            start + std::chrono::duration_cast<Clock::duration>(
                        std::chrono::duration<double>(every * static_cast<double>(round)));
        while (PendingSignal() == 0 && Clock::now() < due) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(due - Clock::now());
            const long long ms = std::min<long long>(left.count(), 100);
            const timespec pause{0, static_cast<long>(ms) * 1000000L};
            nanosleep(&pause, nullptr);  // a signal ends it early
        }
        if (PendingSignal() != 0) break;
        const std::vector<Reading> readings = stream ? ReadStreams(nodes) : ReadAll(port, nodes);
        if (terminal) {
            table.Show(readings);
        } else {
            ShowLines(readings, std::chrono::duration<double>(Clock::now() - start).count());
        }
    }
    if (stream)
        for (int node : nodes) Orvex_StreamStop(node);
    return 0;
}

}  // namespace orvex::cli
