#include "stream_bench.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "orvex.h"
#include "pty_responder.h"

namespace orvex::bench {
namespace {

constexpr int kDrives = 8;
constexpr int kPeriodMs = 10;  // 100 Hz
constexpr int kPortBaud = 115200;
constexpr double kSeconds = 2.0;                       // each measurement
const unsigned kEntries[] = {0x60410010, 0x60640020};  // statusword, position

struct Line {
    const char* name;
    int latency_ms;
};

std::map<std::string, std::unique_ptr<SimProcess>> g_simulators;

SimProcess& simulator_for(const Line& line) {
    auto& sim = g_simulators[line.name];
    if (!sim)
        sim = std::make_unique<SimProcess>(std::vector<std::string>{
            "--drives", std::to_string(kDrives), "--baud", std::to_string(kPortBaud),
            "--latency-ms", std::to_string(line.latency_ms)});
    return *sim;
}

double percentile(std::vector<double> samples, double p) {
    if (samples.empty()) return 0;
    auto at = samples.begin() + static_cast<long>(p * static_cast<double>(samples.size() - 1));
    std::nth_element(samples.begin(), at, samples.end());
    return *at;
}

// The time of one query of another object (profile velocity) of drive 1, in ms.
double query_ms() {
    int value = 0;
    const long start = monotonic_ns();
    SDO_Read(1, 0x6081, 0, &value, 4);
    return (monotonic_ns() - start) / 1e6;
}

void Streaming(benchmark::State& state, const Line& line) {
    const std::string& path = simulator_for(line).slave_path();
    if (path.empty()) return state.SkipWithError("orvex-sim did not start");
    if (Serial_OpenDevice(path.c_str(), kPortBaud) != 1)
        return state.SkipWithError("Serial_OpenDevice failed");
    for (int node = 1; node <= kDrives; ++node)
        if (Orvex_StreamStart(node, kEntries, 2, kPeriodMs) != 1) {
            Serial_ClosePort();
            return state.SkipWithError("Orvex_StreamStart failed");
        }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the streams under way
    double updates = 0, seconds = 0;
    std::vector<double> ages, queries;
    for (auto _ : state) {
        unsigned first[kDrives + 1] = {}, last[kDrives + 1] = {};
        unsigned values[2];
        int age = 0;
        for (int node = 1; node <= kDrives; ++node)
            Orvex_StreamRead(node, values, 2, &age, &first[node]);
        const long start = monotonic_ns();
        long next_query = start;
        while (monotonic_ns() - start < static_cast<long>(kSeconds * 1e9)) {
            for (int node = 1; node <= kDrives; ++node) {
                if (Orvex_StreamRead(node, values, 2, &age, &last[node]) == 1) ages.push_back(age);
            }
            if (monotonic_ns() >= next_query) {
                queries.push_back(query_ms());
                next_query += 100000000;  // ten queries a second beside the streams
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        const double elapsed = (monotonic_ns() - start) / 1e9;
        for (int node = 1; node <= kDrives; ++node) updates += last[node] - first[node];
        seconds += elapsed;
    }
    for (int node = 1; node <= kDrives; ++node) Orvex_StreamStop(node);
    Serial_ClosePort();
    const double per_drive = updates / kDrives / seconds;
    state.counters["updates_per_drive_s"] = per_drive;
    state.counters["delivered_pct"] = 100.0 * per_drive / (1000.0 / kPeriodMs);
    state.counters["age_p50_ms"] = percentile(ages, 0.5);
    state.counters["age_p99_ms"] = percentile(ages, 0.99);
    state.counters["query_p50_ms"] = percentile(queries, 0.5);
    state.counters["query_p99_ms"] = percentile(queries, 0.99);
}

void Polling(benchmark::State& state, const Line& line) {
    const std::string& path = simulator_for(line).slave_path();
    if (path.empty()) return state.SkipWithError("orvex-sim did not start");
    if (Serial_OpenDevice(path.c_str(), kPortBaud) != 1)
        return state.SkipWithError("Serial_OpenDevice failed");
    int nodes[2 * kDrives], indexes[2 * kDrives], subs[2 * kDrives], results[2 * kDrives];
    unsigned values[2 * kDrives];
    for (int i = 0; i < 2 * kDrives; ++i) {
        nodes[i] = 1 + i / 2;
        indexes[i] = i % 2 == 0 ? 0x6041 : 0x6064;
        subs[i] = 0;
    }
    double cycles = 0, seconds = 0;
    std::vector<double> queries, cycle_ms;
    for (auto _ : state) {
        const long start = monotonic_ns();
        long next_query = start;
        while (monotonic_ns() - start < static_cast<long>(kSeconds * 1e9)) {
            const long cycle = monotonic_ns();
            if (Orvex_ReadMany(2 * kDrives, nodes, indexes, subs, values, results) == 2 * kDrives)
                ++cycles;
            cycle_ms.push_back((monotonic_ns() - cycle) / 1e6);
            if (monotonic_ns() >= next_query) {
                queries.push_back(query_ms());
                next_query += 100000000;
            }
        }
        seconds += (monotonic_ns() - start) / 1e9;
    }
    Serial_ClosePort();
    state.counters["updates_per_drive_s"] = cycles / seconds;
    // A polled value is as old as half a cycle on average, a whole one at most.
    state.counters["age_p50_ms"] = percentile(cycle_ms, 0.5) / 2;
    state.counters["age_p99_ms"] = percentile(cycle_ms, 0.99);
    state.counters["query_p50_ms"] = percentile(queries, 0.5);
    state.counters["query_p99_ms"] = percentile(queries, 0.99);
}

const Line kLines[] = {{"latency_16ms", 16}, {"latency_1ms", 1}};

}  // namespace

void register_stream_benchmarks() {
    for (const Line& line : kLines) {
        benchmark::RegisterBenchmark((std::string("i_stream/stream_") + line.name).c_str(),
                                     [&line](benchmark::State& state) { Streaming(state, line); })
            ->Iterations(1)
            ->Repetitions(2)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((std::string("i_stream/poll_") + line.name).c_str(),
                                     [&line](benchmark::State& state) { Polling(state, line); })
            ->Iterations(1)
            ->Repetitions(2)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
    }
}

void stop_stream_simulators() {
    g_simulators.clear();
}

}  // namespace orvex::bench
