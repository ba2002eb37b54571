#include "transfer_bench.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>

#include "child_process.h"
#include "line_model.h"
#include "orvex.h"
#include "pty_responder.h"

namespace orvex::bench {
namespace {

constexpr int kBytes = 1024;
constexpr int kBlockSize = 127;
constexpr int kSegmentBytes = 7;
constexpr int kDomain = 0x2010;
constexpr int kPortBaud = 115200;

std::map<std::string, std::unique_ptr<SimProcess>> g_simulators;

SimProcess& simulator_for(const TransferLine& line) {
    auto& sim = g_simulators[line.name];
    if (!sim) {
        sim = std::make_unique<SimProcess>(
            std::vector<std::string>{"--drives", "1", "--baud", std::to_string(line.baud),
                                     "--latency-ms", std::to_string(line.latency_ms)});
    }
    return *sim;
}

// The dialogue of each transfer of kBytes, as frames each way a step.
std::vector<TransferStep> dialogue(bool block, bool upload) {
    const int segments = (kBytes + kSegmentBytes - 1) / kSegmentBytes;
    std::vector<TransferStep> steps{{1, 1}};  // initiate
    if (!block) {
        for (int i = 0; i < segments; ++i) steps.push_back({1, 1});
        return steps;
    }
    for (int left = segments; left > 0; left -= kBlockSize) {
        const int count = std::min(left, kBlockSize);
        // Upload: the start (or the previous block's acknowledgement) brings the block; download:
        // the block brings its acknowledgement.
        steps.push_back(upload ? TransferStep{1, count} : TransferStep{count, 1});
    }
    // Upload: the last acknowledgement brings the end, whose answer awaits nothing; download: the
    // end brings its answer.
    steps.push_back({1, 1});
    if (upload) steps.push_back({1, 0});
    return steps;
}

void Transfer(benchmark::State& state, const TransferLine& line, bool block, bool upload) {
    const std::string& path = simulator_for(line).slave_path();
    if (path.empty()) return state.SkipWithError("orvex-sim did not start");
    if (Serial_OpenDevice(path.c_str(), kPortBaud) != 1)
        return state.SkipWithError("Serial_OpenDevice failed");
    Orvex_SetBlockTransfer(block ? 4 : 0, block ? kBlockSize : 0);
    unsigned char data[kBytes];
    for (int i = 0; i < kBytes; ++i) data[i] = static_cast<unsigned char>(i * 7);
    unsigned char back[kBytes];
    // The object holds the kilobyte before anything is measured.
    if (Orvex_SdoDownload(1, kDomain, 0, data, kBytes) != 1)
        return state.SkipWithError("the kilobyte could not be written");
    const int expected_kind = block ? ORVEX_TRANSFER_BLOCK : ORVEX_TRANSFER_SEGMENTED;
    std::vector<long> ns;
    for (auto _ : state) {
        const long start = monotonic_ns();
        int length = 0;
        const int ok = upload ? Orvex_SdoUpload(1, kDomain, 0, back, kBytes, &length)
                              : Orvex_SdoDownload(1, kDomain, 0, data, kBytes);
        ns.push_back(monotonic_ns() - start);
        if (ok != 1 || Orvex_LastTransfer(nullptr, nullptr, nullptr) != expected_kind) {
            state.SkipWithError("the transfer failed or took another kind");
            break;
        }
    }
    Orvex_SetBlockTransfer(0, 0);
    Serial_ClosePort();
    if (ns.empty()) return;
    auto middle = ns.begin() + static_cast<long>(ns.size() / 2);
    std::nth_element(ns.begin(), middle, ns.end());
    state.counters["p50_ms"] = *middle / 1e6;
    state.counters["bound_ms"] =
        transfer_bound_us(LineModel{line.baud, line.latency_ms, 0}, dialogue(block, upload)) / 1e3;
}

}  // namespace

const std::vector<TransferLine>& transfer_lines() {
    static const std::vector<TransferLine> lines{
        {"latency_1ms", 115200, 1, 0},
        {"latency_16ms", 115200, 16, 8.0},
    };
    return lines;
}

void register_transfer_benchmarks() {
    for (const TransferLine& line : transfer_lines()) {
        for (const bool upload : {true, false}) {
            for (const bool block : {false, true}) {
                const std::string name = std::string("i_transfer/") +
                                         (upload ? "upload_" : "download_") +
                                         (block ? "block_" : "segmented_") + line.name;
                // About a second of transfers a repetition, judged from the bound.
                const double ms = transfer_bound_us(LineModel{line.baud, line.latency_ms, 0},
                                                    dialogue(block, upload)) /
                                  1e3;
                const auto iterations =
                    static_cast<benchmark::IterationCount>(std::clamp(1000.0 / ms, 1.0, 50.0));
                benchmark::RegisterBenchmark(name.c_str(),
                                             [&line, block, upload](benchmark::State& state) {
                                                 Transfer(state, line, block, upload);
                                             })
                    ->Iterations(iterations)
                    ->Repetitions(3)
                    ->UseRealTime()
                    ->ReportAggregatesOnly()
                    ->Unit(benchmark::kMillisecond);
            }
        }
    }
}

void stop_transfer_simulators() {
    g_simulators.clear();
}

}  // namespace orvex::bench
