#include "batch_bench.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <map>
#include <memory>

#include "child_process.h"
#include "line_model.h"
#include "orvex.h"
#include "pty_responder.h"

namespace orvex::bench {
namespace {

constexpr int kDrives = 8;
constexpr int kReads = 2 * kDrives;  // position and statusword of each drive
constexpr int kPortBaud = 115200;

// One orvex-sim per line setting, started on first use.
std::map<std::string, std::unique_ptr<SimProcess>> g_simulators;

SimProcess& simulator_for(const BatchLine& line) {
    auto& sim = g_simulators[line.name];
    if (!sim) {
        std::vector<std::string> options{"--drives", std::to_string(kDrives)};
        if (line.baud > 0) options.insert(options.end(), {"--baud", std::to_string(line.baud)});
        if (line.latency_ms > 0)
            options.insert(options.end(), {"--latency-ms", std::to_string(line.latency_ms)});
        sim = std::make_unique<SimProcess>(options);
    }
    return *sim;
}

LineModel model_of(const BatchLine& line) {
    return LineModel{line.baud, line.latency_ms, 0};
}

struct Reads {
    int nodes[kReads], indexes[kReads], subs[kReads], results[kReads];
    unsigned values[kReads];
    Reads() {
        for (int i = 0; i < kReads; ++i) {
            nodes[i] = 1 + i / 2;
            indexes[i] = i % 2 == 0 ? 0x6064 : 0x6041;
            subs[i] = 0;
        }
    }
};

bool sequential_cycle(Reads&) {
    for (int node = 1; node <= kDrives; ++node) {
        GetPosition(node);
        if (Orvex_LastResult() != ORVEX_OK) return false;
        GetMotorStatus(node);
        if (Orvex_LastResult() != ORVEX_OK) return false;
    }
    return true;
}

bool batch_cycle(Reads& reads) {
    return Orvex_ReadMany(kReads, reads.nodes, reads.indexes, reads.subs, reads.values,
                          reads.results) == kReads;
}

void Cycle(benchmark::State& state, const BatchLine& line, bool batch) {
    const std::string& path = simulator_for(line).slave_path();
    if (path.empty())
        return state.SkipWithError("orvex-sim did not start (does it have --baud/--latency-ms?)");
    if (Serial_OpenDevice(path.c_str(), kPortBaud) != 1)
        return state.SkipWithError("Serial_OpenDevice failed");
    Reads reads;
    sequential_cycle(reads);  // drives' first answers outside the measurement
    std::vector<long> ns;
    for (auto _ : state) {
        const long start = monotonic_ns();
        const bool ok = batch ? batch_cycle(reads) : sequential_cycle(reads);
        ns.push_back(monotonic_ns() - start);
        if (!ok) {
            state.SkipWithError(batch ? "Orvex_ReadMany did not read every item"
                                      : "a single query failed");
            break;
        }
    }
    Serial_ClosePort();
    if (ns.empty()) return;
    auto middle = ns.begin() + static_cast<long>(ns.size() / 2);
    std::nth_element(ns.begin(), middle, ns.end());
    state.counters["p50_ms"] = *middle / 1e6;
    const LineModel model = model_of(line);
    state.counters["bound_ms"] =
        (batch ? pipelined_bound_us(model, kReads) : sequential_bound_us(model, kReads)) / 1e3;
}

}  // namespace

const std::vector<BatchLine>& batch_lines() {
    static const std::vector<BatchLine> lines{
        {"model_off", 0, 0, 0},
        {"latency_1ms", 115200, 1, 1.8},
        {"latency_16ms", 115200, 16, 4.0},
    };
    return lines;
}

void register_batch_benchmarks() {
    for (const BatchLine& line : batch_lines()) {
        // About half a second of cycles per repetition, judged from the model.
        const double cycle_ms = std::max(0.05, sequential_bound_us(model_of(line), kReads) / 1e3);
        const auto iterations =
            static_cast<benchmark::IterationCount>(std::clamp(500.0 / cycle_ms, 5.0, 300.0));
        for (const bool batch : {false, true}) {
            const std::string name =
                std::string("h_batch/") + (batch ? "batch_" : "sequential_") + line.name;
            benchmark::RegisterBenchmark(
                name.c_str(),
                [&line, batch](benchmark::State& state) { Cycle(state, line, batch); })
                ->Iterations(batch ? iterations * 4 : iterations)
                ->Repetitions(3)
                ->UseRealTime()
                ->ReportAggregatesOnly()
                ->Unit(benchmark::kMillisecond);
        }
    }
}

void stop_batch_simulators() {
    g_simulators.clear();
}

}  // namespace orvex::bench
