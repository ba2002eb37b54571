// Benchmarks of the library over pseudo-terminals. Every comparison runs the library and a plain
// reference client in the same process and run, each against its own identical responder thread,
// and the closing table reports their ratio. See BENCHMARKS.md for what each figure means.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "alloc_counter.h"
#include "batch_bench.h"
#include "stream_bench.h"
#include "child_process.h"
#include "cpu_placement.h"
#include "orvex.h"
#include "pty_responder.h"
#include "summary.h"
#include "transfer_bench.h"

namespace orvex::bench {
namespace {

constexpr int kNode = 1;
constexpr int kBaud = 115200;
constexpr std::uint16_t kPositionActual = 0x6064;
constexpr std::uint16_t kTargetPosition = 0x607A;
constexpr std::uint16_t kControlword = 0x6040;
constexpr std::uint32_t kMoveAbsolute = 0x003F;
constexpr int kWaitAnswerDelayUs = 2000;

// One responder for the library's port and one for the reference client's, alike in every way.
std::unique_ptr<PtyResponder> g_library_side;
std::unique_ptr<PtyResponder> g_reference_side;

// The library's port on a responder's terminal for the length of one benchmark run.
class LibraryPort {
  public:
    LibraryPort(benchmark::State& state, const std::string& path)
        : open_(Serial_OpenDevice(path.c_str(), kBaud) == 1) {
        if (!open_) state.SkipWithError("Serial_OpenDevice failed");
    }
    ~LibraryPort() { Serial_ClosePort(); }
    explicit operator bool() const { return open_; }

  private:
    bool open_;
};

class ReferencePort : public RawPort {
  public:
    ReferencePort(benchmark::State& state, const std::string& path) : RawPort(path) {
        if (!is_open())
            state.SkipWithError("cannot open the reference terminal");
        else
            discard_input();  // an earlier run may have left an answer behind
    }
};

// Per-call durations of one run, for the median that outliers (other work on the machine) do not
// move the way they move a mean.
class Durations {
  public:
    explicit Durations(benchmark::IterationCount expected) {
        ns_.reserve(static_cast<std::size_t>(expected));
    }
    void add(long ns) { ns_.push_back(ns); }
    void report(benchmark::State& state, const std::string& prefix = "") {
        if (ns_.empty()) return;
        long total = 0;
        for (long ns : ns_) total += ns;
        auto middle = ns_.begin() + static_cast<long>(ns_.size() / 2);
        std::nth_element(ns_.begin(), middle, ns_.end());
        state.counters[prefix + "p50_us"] = *middle / 1e3;
        state.counters[prefix + "mean_us"] =
            static_cast<double>(total) / static_cast<double>(ns_.size()) / 1e3;
    }

  private:
    std::vector<long> ns_;
};

bool answered(const std::uint8_t* answer, int node) {
    const std::uint32_t value =
        static_cast<std::uint32_t>(answer[6]) | static_cast<std::uint32_t>(answer[7]) << 8 |
        static_cast<std::uint32_t>(answer[8]) << 16 | static_cast<std::uint32_t>(answer[9]) << 24;
    return answer[1] == 0x80 + node && (answer[2] & 0xE0) == 0x40 && value == kAnsweredValue;
}

// ---- a. Query round trip
// -------------------------------------------------------------------------

// Both sides in one loop, a library query and a raw exchange in turn (which goes first alternates),
// with every thread on one CPU (see cpu_placement.h): each side's round trips are timed at the
// same moments and take the same path through the scheduler, so the ratio compares the clients
// alone. Reports each side's median call.
void QueryAlternating(benchmark::State& state) {
    const SameCpu placement;
    g_library_side->answer_promptly();
    g_reference_side->answer_promptly();
    LibraryPort library(state, g_library_side->slave_path());
    ReferencePort raw(state, g_reference_side->slave_path());
    if (!library || !raw.is_open()) return;
    std::uint8_t request[kFrameSize];
    std::uint8_t answer[kFrameSize];
    upload_request(kNode, kPositionActual, 0, request);
    GetPosition(kNode);  // first use of the port outside the measurement
    Durations library_ns(state.max_iterations);
    Durations raw_ns(state.max_iterations);
    bool library_first = true;
    for (auto _ : state) {
        for (int turn = 0; turn < 2; ++turn) {
            const long start = monotonic_ns();
            if ((turn == 0) == library_first) {
                const int position = GetPosition(kNode);
                library_ns.add(monotonic_ns() - start);
                if (position != static_cast<int>(kAnsweredValue))
                    return state.SkipWithError("GetPosition did not return the answered value");
            } else {
                const bool ok =
                    raw.write_all(request, kFrameSize) && raw.read_exactly(answer, kFrameSize);
                raw_ns.add(monotonic_ns() - start);
                if (!ok || !answered(answer, kNode))
                    return state.SkipWithError("raw exchange failed");
            }
        }
        library_first = !library_first;
    }
    library_ns.report(state, "library_");
    raw_ns.report(state, "raw_");
}

// ---- b. CPU cost of waiting
// ----------------------------------------------------------------------

// Wall and calling-thread CPU time over a run; the responder thread is not counted.
class WaitCost {
  public:
    void begin() {
        wall_start_ = monotonic_ns();
        cpu_start_ = thread_cpu_ns();
    }
    void end() {
        cpu_ += thread_cpu_ns() - cpu_start_;
        wall_ += monotonic_ns() - wall_start_;
    }
    void report(benchmark::State& state) const {
        if (wall_ == 0 || state.iterations() == 0) return;
        state.counters["cpu_pct"] = 100.0 * static_cast<double>(cpu_) / static_cast<double>(wall_);
        state.counters["wall_us"] =
            static_cast<double>(wall_) / static_cast<double>(state.iterations()) / 1e3;
    }

  private:
    long wall_start_ = 0, cpu_start_ = 0, wall_ = 0, cpu_ = 0;
};

void WaitLibrary(benchmark::State& state) {
    g_library_side->answer_promptly();
    LibraryPort port(state, g_library_side->slave_path());
    if (!port) return;
    g_library_side->set_answer_delay_us(kWaitAnswerDelayUs);
    WaitCost cost;
    for (auto _ : state) {
        cost.begin();
        const int position = GetPosition(kNode);
        cost.end();
        if (position != static_cast<int>(kAnsweredValue)) {
            state.SkipWithError("GetPosition did not return the answered value");
            break;
        }
    }
    g_library_side->answer_promptly();
    cost.report(state);
}

void WaitSpin(benchmark::State& state) {
    g_reference_side->answer_promptly();
    ReferencePort port(state, g_reference_side->slave_path());
    if (!port.is_open()) return;
    g_reference_side->set_answer_delay_us(kWaitAnswerDelayUs);
    std::uint8_t request[kFrameSize];
    std::uint8_t answer[kFrameSize];
    upload_request(kNode, kPositionActual, 0, request);
    WaitCost cost;
    for (auto _ : state) {
        cost.begin();
        const bool ok =
            port.write_all(request, kFrameSize) && port.spin_read_exactly(answer, kFrameSize);
        cost.end();
        if (!ok || !answered(answer, kNode)) {
            state.SkipWithError("spin-wait exchange failed");
            break;
        }
    }
    g_reference_side->answer_promptly();
    cost.report(state);
}

// ---- c. Command throughput
// -----------------------------------------------------------------------

// Waits until the responder has read every frame written since `frames_before`: a rate counts
// frames delivered, not frames parked in the terminal's buffer, and the next benchmark starts on
// a quiet line.
bool drained(const PtyResponder& side, std::uint64_t frames_before, std::uint64_t frames_written) {
    const long deadline = monotonic_ns() + 2000000000L;
    while (side.frames_received() < frames_before + frames_written) {
        if (monotonic_ns() > deadline) return false;
        ::usleep(100);
    }
    return true;
}

void report_rate(benchmark::State& state, long elapsed_ns) {
    if (elapsed_ns > 0)
        state.counters["per_s"] = static_cast<double>(state.iterations()) * 1e9 / elapsed_ns;
}

// On one CPU like the round trip (a), so that the writer, the responder and the terminal's worker
// share it the same way on both sides.
void CommandLibrary(benchmark::State& state) {
    const SameCpu placement;
    g_library_side->answer_promptly();
    LibraryPort port(state, g_library_side->slave_path());
    if (!port) return;
    int position = 0;
    const std::uint64_t frames_before = g_library_side->frames_received();
    const long start = monotonic_ns();
    for (auto _ : state) {
        if (PP_Abs_move(kNode, ++position) != 1) {
            state.SkipWithError("PP_Abs_move failed");
            break;
        }
    }
    if (!drained(*g_library_side, frames_before, 2 * static_cast<std::uint64_t>(position)))
        return state.SkipWithError("the responder did not receive every frame");
    report_rate(state, monotonic_ns() - start);
}

// The same two frames, one write() each, built per move as the library builds them.
void CommandRaw(benchmark::State& state) {
    const SameCpu placement;
    g_reference_side->answer_promptly();
    ReferencePort port(state, g_reference_side->slave_path());
    if (!port.is_open()) return;
    std::uint8_t target[kFrameSize];
    std::uint8_t trigger[kFrameSize];
    int position = 0;
    const std::uint64_t frames_before = g_reference_side->frames_received();
    const long start = monotonic_ns();
    for (auto _ : state) {
        sdo_download(kNode, 0x23, kTargetPosition, 0, static_cast<std::uint32_t>(++position),
                     target);
        sdo_download(kNode, 0x2B, kControlword, 0, kMoveAbsolute, trigger);
        if (!port.write_all(target, kFrameSize) || !port.write_all(trigger, kFrameSize)) {
            state.SkipWithError("raw write failed");
            break;
        }
    }
    if (!drained(*g_reference_side, frames_before, 2 * static_cast<std::uint64_t>(position)))
        return state.SkipWithError("the responder did not receive every frame");
    report_rate(state, monotonic_ns() - start);
}

// ---- d. Time-out accuracy
// ------------------------------------------------------------------------

enum class SilentCall {
    kGetPosition,
    kRawExchange12,
    kRawExchange51,
    kGetPositionAt100,
    kReadMany16
};

// Position and statusword of drives 1-8: 16 items, 16 + 16 frames on the line.
constexpr int kBatchItems = 16;
// 32 frames of 120 bits at 115200 baud: 33.3 ms, counted as 34 ms on top of the query limit.
constexpr int kBatchWireMs = 34;

int silent_limit_ms(SilentCall call) {
    switch (call) {
        case SilentCall::kRawExchange51:
            return 3800;
        case SilentCall::kGetPositionAt100:
            return 100;
        case SilentCall::kReadMany16:
            return 800 + kBatchWireMs;
        default:
            return 800;
    }
}

bool times_out(SilentCall call, const std::uint8_t* request, std::uint8_t* answer) {
    switch (call) {
        case SilentCall::kGetPosition:
        case SilentCall::kGetPositionAt100:
            return GetPosition(kNode) == 0 && Orvex_LastResult() == ORVEX_TIMEOUT;
        case SilentCall::kReadMany16: {
            int nodes[kBatchItems], indexes[kBatchItems], subs[kBatchItems], results[kBatchItems];
            unsigned values[kBatchItems];
            for (int i = 0; i < kBatchItems; ++i) {
                nodes[i] = 1 + i / 2;
                indexes[i] = i % 2 == 0 ? kPositionActual : 0x6041;
                subs[i] = 0;
            }
            return Orvex_ReadMany(kBatchItems, nodes, indexes, subs, values, results) == 0 &&
                   Orvex_LastResult() == ORVEX_TIMEOUT;
        }
        default:
            return U_Transmit_Validation(nullptr, request, answer, static_cast<int>(kFrameSize),
                                         call == SilentCall::kRawExchange51 ? 51 : 12) == -10;
    }
}

void Timeout(benchmark::State& state) {
    const auto call = static_cast<SilentCall>(state.range(0));
    const int limit_ms = silent_limit_ms(call);
    g_library_side->set_silent(true);
    LibraryPort port(state, g_library_side->slave_path());
    if (!port) return;
    if (call == SilentCall::kGetPositionAt100) Orvex_SetTimeLimits(100, 0);
    std::uint8_t request[kFrameSize];
    std::uint8_t answer[64];
    upload_request(kNode, kPositionActual, 0, request);
    double late_min = 1e9, late_max = -1e9;
    for (auto _ : state) {
        const long start = monotonic_ns();
        const bool timed_out = times_out(call, request, answer);
        const double late = (monotonic_ns() - start) / 1e6 - limit_ms;
        if (!timed_out) {
            state.SkipWithError("the call did not report a time-out");
            break;
        }
        late_min = std::min(late_min, late);
        late_max = std::max(late_max, late);
    }
    Orvex_SetTimeLimits(800, 3800);
    g_library_side->answer_promptly();
    state.counters["late_min_ms"] = late_min;
    state.counters["late_max_ms"] = late_max;
}

// ---- e. Heap allocations
// -------------------------------------------------------------------------

enum class Call { kPpAbsMove, kPpSet, kGetPosition, kSdoRead, kRawExchange };

bool call_library(Call call, std::uint8_t* scratch) {
    switch (call) {
        case Call::kPpAbsMove:
            return PP_Abs_move(kNode, 1000) == 1;
        case Call::kPpSet:
            return PP_Set(kNode, 500, 1000, 1000) == 1;
        case Call::kGetPosition:
            return GetPosition(kNode) == static_cast<int>(kAnsweredValue);
        case Call::kSdoRead: {
            int value = 0;
            return SDO_Read(kNode, kPositionActual, 0, &value, 4) == 1;
        }
        case Call::kRawExchange: {
            std::uint8_t request[kFrameSize];
            upload_request(kNode, kPositionActual, 0, request);
            return U_Transmit_Validation(nullptr, request, scratch, static_cast<int>(kFrameSize),
                                         static_cast<int>(kFrameSize)) == 0 &&
                   answered(scratch, kNode);
        }
    }
    return false;
}

void report_allocations(benchmark::State& state, std::uint64_t allocations) {
    if (state.iterations() > 0)
        state.counters["allocs_per_call"] =
            static_cast<double>(allocations) / static_cast<double>(state.iterations());
}

void AllocationsLibrary(benchmark::State& state) {
    const auto call = static_cast<Call>(state.range(0));
    g_library_side->answer_promptly();
    LibraryPort port(state, g_library_side->slave_path());
    if (!port) return;
    std::uint8_t scratch[kFrameSize];
    call_library(call, scratch);  // one-time set-up of any kind stays outside the count
    std::uint64_t allocations = 0;
    for (auto _ : state) {
        AllocationCount count;
        const bool ok = call_library(call, scratch);
        allocations += count.count();
        if (!ok) {
            state.SkipWithError("the call failed");
            break;
        }
    }
    report_allocations(state, allocations);
}

// The reference client's exchange (is_query) or command writes, counted the same way.
void AllocationsRaw(benchmark::State& state) {
    const bool is_query = state.range(0) != 0;
    g_reference_side->answer_promptly();
    ReferencePort port(state, g_reference_side->slave_path());
    if (!port.is_open()) return;
    std::uint8_t request[kFrameSize];
    std::uint8_t answer[kFrameSize];
    std::uint64_t allocations = 0;
    for (auto _ : state) {
        AllocationCount count;
        bool ok;
        if (is_query) {
            upload_request(kNode, kPositionActual, 0, request);
            ok = port.write_all(request, kFrameSize) && port.read_exactly(answer, kFrameSize) &&
                 answered(answer, kNode);
        } else {
            sdo_download(kNode, 0x23, kTargetPosition, 0, 1000, request);
            ok = port.write_all(request, kFrameSize);
            sdo_download(kNode, 0x2B, kControlword, 0, kMoveAbsolute, request);
            ok = ok && port.write_all(request, kFrameSize);
        }
        allocations += count.count();
        if (!ok) {
            state.SkipWithError("raw exchange failed");
            break;
        }
    }
    report_allocations(state, allocations);
}

// ---- f. Load time
// --------------------------------------------------------------------------------

void LoadLibrary(benchmark::State& state) {
    double load_min = 1e9, load_max = 0, unload_max = 0, sleep_max = 0, over_max = -1e9;
    for (auto _ : state) {
        int out = -1;
        const pid_t child = spawn_with_stdout({ORVEX_LOAD_PROBE_PATH, ORVEX_LIBRARY_PATH}, out);
        if (child < 0) {
            state.SkipWithError("cannot start the load probe");
            break;
        }
        std::string line;
        const bool got = read_line(out, line, 10000);
        ::close(out);
        long long sleep_us = 0, load_us = 0, unload_us = 0;
        const bool parsed = got && std::sscanf(line.c_str(), "%lld %lld %lld", &sleep_us, &load_us,
                                               &unload_us) == 3;
        if (wait_exit(child) != 0 || !parsed) {
            state.SkipWithError("the load probe failed");
            break;
        }
        load_min = std::min(load_min, load_us / 1e3);
        load_max = std::max(load_max, load_us / 1e3);
        unload_max = std::max(unload_max, unload_us / 1e3);
        sleep_max = std::max(sleep_max, sleep_us / 1e3);
        over_max = std::max(over_max, (load_us - sleep_us) / 1e3);
    }
    state.counters["load_ms_min"] = load_min;
    state.counters["load_ms_max"] = load_max;
    state.counters["unload_ms_max"] = unload_max;
    state.counters["sleep_ms_max"] = sleep_max;
    state.counters["over_sleep_ms_max"] = over_max;
}

// ---- g. End to end through orvex-sim
// -------------------------------------------------------------

int node_for(benchmark::IterationCount i, int drives) {
    return 1 + static_cast<int>(i % drives);
}

void SimLibrary(benchmark::State& state) {
    const int drives = static_cast<int>(state.range(0));
    const std::string& path = SimProcess::instance().slave_path();
    if (path.empty()) return state.SkipWithError("orvex-sim did not start");
    LibraryPort port(state, path);
    if (!port) return;
    benchmark::IterationCount i = 0;
    const long start = monotonic_ns();
    for (auto _ : state) {
        GetPosition(node_for(i++, drives));
        if (Orvex_LastResult() != ORVEX_OK) {
            state.SkipWithError("GetPosition through orvex-sim failed");
            break;
        }
    }
    report_rate(state, monotonic_ns() - start);
}

void SimRaw(benchmark::State& state) {
    const int drives = static_cast<int>(state.range(0));
    const std::string& path = SimProcess::instance().slave_path();
    if (path.empty()) return state.SkipWithError("orvex-sim did not start");
    ReferencePort port(state, path);
    if (!port.is_open()) return;
    std::uint8_t request[kFrameSize];
    std::uint8_t answer[kFrameSize];
    benchmark::IterationCount i = 0;
    const long start = monotonic_ns();
    for (auto _ : state) {
        const int node = node_for(i++, drives);
        upload_request(node, kPositionActual, 0, request);
        const bool ok =
            port.write_all(request, kFrameSize) && port.read_exactly(answer, kFrameSize);
        if (!ok || answer[1] != 0x80 + node || (answer[2] & 0xE0) != 0x40) {
            state.SkipWithError("raw exchange with orvex-sim failed");
            break;
        }
    }
    report_rate(state, monotonic_ns() - start);
}

// ---- registration
// --------------------------------------------------------------------------------

void register_benchmarks() {
    using benchmark::RegisterBenchmark;
    // Repeated comparisons: medians over repetitions, which random interleaving spreads over the
    // run so that both sides see the same machine.
    auto repeated = [](benchmark::internal::Benchmark* b, int repetitions, double min_time) {
        b->Repetitions(repetitions)->MinTime(min_time)->UseRealTime()->ReportAggregatesOnly();
    };
    repeated(RegisterBenchmark("a_query/alternating", QueryAlternating), 15, 0.2);
    for (auto* b : {RegisterBenchmark("b_wait/library", WaitLibrary),
                    RegisterBenchmark("b_wait/spin", WaitSpin)})
        b->Iterations(150)->Repetitions(5)->UseRealTime()->ReportAggregatesOnly();
    repeated(RegisterBenchmark("c_command/library", CommandLibrary), 9, 0.1);
    repeated(RegisterBenchmark("c_command/raw", CommandRaw), 9, 0.1);

    const struct {
        const char* name;
        SilentCall call;
        int iterations;
    } silent[] = {{"d_timeout/GetPosition", SilentCall::kGetPosition, 3},
                  {"d_timeout/U_Transmit_Validation_12", SilentCall::kRawExchange12, 3},
                  {"d_timeout/U_Transmit_Validation_51", SilentCall::kRawExchange51, 2},
                  {"d_timeout/GetPosition_limit_100", SilentCall::kGetPositionAt100, 5},
                  {"d_timeout/Orvex_ReadMany_16", SilentCall::kReadMany16, 3}};
    for (const auto& s : silent)
        RegisterBenchmark(s.name, Timeout)
            ->Arg(static_cast<int>(s.call))
            ->Iterations(s.iterations)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);

    const struct {
        const char* name;
        Call call;
    } counted[] = {{"e_alloc/PP_Abs_move", Call::kPpAbsMove},
                   {"e_alloc/PP_Set", Call::kPpSet},
                   {"e_alloc/GetPosition", Call::kGetPosition},
                   {"e_alloc/SDO_Read", Call::kSdoRead},
                   {"e_alloc/U_Transmit_Validation", Call::kRawExchange}};
    for (const auto& c : counted)
        RegisterBenchmark(c.name, AllocationsLibrary)
            ->Arg(static_cast<int>(c.call))
            ->Iterations(500)
            ->UseRealTime();
    RegisterBenchmark("e_alloc/raw_command", AllocationsRaw)->Arg(0)->Iterations(500);
    RegisterBenchmark("e_alloc/raw_query", AllocationsRaw)->Arg(1)->Iterations(500);

    RegisterBenchmark("f_load/dlopen", LoadLibrary)
        ->Iterations(3)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);

#ifdef ORVEX_SIM_PATH
    for (int drives : {1, 2}) {
        const std::string suffix = drives == 1 ? "one_drive" : "two_drives";
        repeated(RegisterBenchmark(("g_sim/library_" + suffix).c_str(), SimLibrary)->Arg(drives), 3,
                 0.2);
        repeated(RegisterBenchmark(("g_sim/raw_" + suffix).c_str(), SimRaw)->Arg(drives), 3, 0.2);
    }
    register_batch_benchmarks();
    register_transfer_benchmarks();
    register_stream_benchmarks();
#endif
}

}  // namespace
}  // namespace orvex::bench

int main(int argc, char** argv) {
    using namespace orvex::bench;
    // Interleaved repetitions by default; a later flag on the command line still wins.
    std::vector<char*> args(argv, argv + argc);
    char interleave[] = "--benchmark_enable_random_interleaving=true";
    args.insert(args.begin() + 1, interleave);
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 2;

    try {
        g_library_side = std::make_unique<PtyResponder>();
        g_reference_side = std::make_unique<PtyResponder>();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "orvex_bench: %s\n", error.what());
        return 1;
    }
    register_benchmarks();
    // Colour on a terminal only, so that a saved copy of the output stays plain text.
    CollectingReporter reporter(isatty(STDOUT_FILENO) ? benchmark::ConsoleReporter::OO_Defaults
                                                      : benchmark::ConsoleReporter::OO_Tabular);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    SimProcess::instance().stop();
    stop_batch_simulators();
    stop_transfer_simulators();
    stop_stream_simulators();
    g_library_side.reset();
    g_reference_side.reset();

    std::printf("\nSummary (medians over repetitions; ratio = library / reference)\n%s",
                summary_table(reporter).c_str());
    for (const std::string& failure : reporter.failures())
        std::printf("FAILED %s\n", failure.c_str());
    return reporter.failures().empty() ? 0 : 1;
}
