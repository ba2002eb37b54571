#include "summary.h"

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdio>

#include "batch_bench.h"
#include "transfer_bench.h"

namespace orvex::bench {

void CollectingReporter::ReportRuns(const std::vector<Run>& runs) {
    for (const Run& run : runs) {
        const std::string& name = run.run_name.function_name;
        if (run.error_occurred) {
            failures_.push_back(name + ": " + run.error_message);
            continue;
        }
        const bool median = run.run_type == Run::RT_Aggregate;
        if (median && run.aggregate_name != "median") continue;
        Entry& entry = results_[name];
        // A single run stands in only until the median over repetitions arrives.
        if (entry.from_median && !median) continue;
        entry.from_median = median;
        for (const auto& [counter, value] : run.counters) entry.counters[counter] = value.value;
    }
    ConsoleReporter::ReportRuns(runs);
}

std::optional<double> CollectingReporter::counter(const std::string& benchmark,
                                                  const std::string& name) const {
    const auto entry = results_.find(benchmark);
    if (entry == results_.end()) return std::nullopt;
    const auto value = entry->second.counters.find(name);
    if (value == entry->second.counters.end()) return std::nullopt;
    return value->second;
}

namespace {

std::string format(const char* pattern, ...) {
    char text[96];
    va_list args;
    va_start(args, pattern);
    std::vsnprintf(text, sizeof text, pattern, args);
    va_end(args);
    return text;
}

// measure, library, reference, ratio, goal, met?
using Row = std::array<std::string, 6>;

const char* verdict(bool met) {
    return met ? "yes" : "NO";
}

class TableBuilder {
  public:
    explicit TableBuilder(const CollectingReporter& results) : results_(results) {}

    // Library against reference, both from `counter`; `goal_met` judges the ratio.
    template <typename Goal>
    void compare(const std::string& measure, const std::string& library,
                 const std::string& reference, const std::string& counter, const char* unit,
                 const std::string& goal, Goal goal_met) {
        compare(measure, library, counter, reference, counter, unit, goal, goal_met);
    }

    // The same from a counter of each benchmark's own (both may be counters of one benchmark).
    template <typename Goal>
    void compare(const std::string& measure, const std::string& library,
                 const std::string& library_counter, const std::string& reference,
                 const std::string& reference_counter, const char* unit, const std::string& goal,
                 Goal goal_met) {
        const auto lib = results_.counter(library, library_counter);
        const auto ref = results_.counter(reference, reference_counter);
        if (!lib || !ref || *ref == 0) return missing(measure, goal);
        const double ratio = *lib / *ref;
        rows_.push_back({measure, number(*lib, unit), number(*ref, unit), format("%.3f", ratio),
                         goal, goal.empty() ? "-" : verdict(goal_met(*lib, ratio))});
    }

    // How far past `limit_ms` a call that got no answer returned.
    void lateness(const std::string& measure, const std::string& benchmark, int limit_ms) {
        const std::string goal = "0 < late < 20 ms";
        const auto worst = results_.counter(benchmark, "late_max_ms");
        const auto best = results_.counter(benchmark, "late_min_ms");
        if (!worst || !best) return missing(measure, goal);
        rows_.push_back({measure, format("+%.2f..+%.2f ms", *best, *worst),
                         format("%d ms", limit_ms), format("%.4f", (limit_ms + *worst) / limit_ms),
                         goal, verdict(*best > 0 && *worst < 20)});
    }

    void allocations(const std::string& measure, const std::string& library,
                     const std::string& reference) {
        const auto lib = results_.counter(library, "allocs_per_call");
        const auto ref = results_.counter(reference, "allocs_per_call");
        if (!lib || !ref) return missing(measure, "0");
        rows_.push_back(
            {measure, format("%.2f", *lib), format("%.2f", *ref), "-", "0", verdict(*lib == 0)});
    }

    // Loading against a plain 1000 ms sleep timed in the same fresh process: the load-time delay
    // is a plain one-second sleep, so load minus sleep is everything else loading costs.
    void load_time(const std::string& measure, const std::string& benchmark) {
        const std::string goal = "load - sleep < 5 ms";
        const auto load = results_.counter(benchmark, "load_ms_max");
        const auto sleep = results_.counter(benchmark, "sleep_ms_max");
        const auto over = results_.counter(benchmark, "over_sleep_ms_max");
        if (!load || !sleep || !over || *sleep == 0) return missing(measure, goal);
        rows_.push_back({measure, format("%.1f ms", *load), format("%.1f ms sleep", *sleep),
                         format("%.4f", *load / *sleep), goal, verdict(*over < 5)});
    }

    // A batch cycle against the same reads made one at a time, each with the line model's bound.
    void batch(const std::string& measure, const std::string& batch, const std::string& sequential,
               double speedup_goal) {
        const std::string goal =
            speedup_goal > 0 ? format(">= %.1fx, batch <= 1.2 x bound", speedup_goal) : "";
        const auto fast = results_.counter(batch, "p50_ms");
        const auto slow = results_.counter(sequential, "p50_ms");
        const auto fast_bound = results_.counter(batch, "bound_ms");
        const auto slow_bound = results_.counter(sequential, "bound_ms");
        if (!fast || !slow || !fast_bound || !slow_bound || *fast == 0)
            return missing(measure, goal);
        const double speedup = *slow / *fast;
        const bool met = speedup >= speedup_goal && *fast <= 1.2 * *fast_bound;
        rows_.push_back(
            {measure, format("batch %s (bound %s)", ms(*fast).c_str(), ms(*fast_bound).c_str()),
             format("one by one %s (bound %s)", ms(*slow).c_str(), ms(*slow_bound).c_str()),
             format("%.2fx", speedup), goal.empty() ? "-" : goal,
             speedup_goal > 0 ? verdict(met) : "-"});
    }

    // Block against segmented transfers of one direction, each with the line model's bound.
    void transfer(const std::string& measure, const std::string& block,
                  const std::string& segmented, double speedup_goal) {
        const std::string goal = speedup_goal > 0
                                     ? format(">= %.0fx, each <= 1.2 x bound", speedup_goal)
                                     : "each <= 1.2 x bound";
        const auto fast = results_.counter(block, "p50_ms");
        const auto slow = results_.counter(segmented, "p50_ms");
        const auto fast_bound = results_.counter(block, "bound_ms");
        const auto slow_bound = results_.counter(segmented, "bound_ms");
        if (!fast || !slow || !fast_bound || !slow_bound || *fast == 0)
            return missing(measure, goal);
        const double speedup = *slow / *fast;
        const bool met =
            speedup >= speedup_goal && *fast <= 1.2 * *fast_bound && *slow <= 1.2 * *slow_bound;
        rows_.push_back(
            {measure, format("block %s (bound %s)", ms(*fast).c_str(), ms(*fast_bound).c_str()),
             format("segmented %s (bound %s)", ms(*slow).c_str(), ms(*slow_bound).c_str()),
             format("%.2fx", speedup), goal, verdict(met)});
    }

    std::string text() const {
        const Row header{"measure", "library", "reference", "ratio", "goal", "met?"};
        std::array<std::size_t, 6> width{};
        auto widen = [&](const Row& row) {
            for (std::size_t i = 0; i < row.size(); ++i)
                width[i] = std::max(width[i], row[i].size());
        };
        widen(header);
        for (const Row& row : rows_) widen(row);
        std::string out;
        auto line = [&](const Row& row) {
            for (std::size_t i = 0; i < row.size(); ++i) {
                out += i == 0 ? "| " : " | ";
                out += row[i] + std::string(width[i] - row[i].size(), ' ');
            }
            out += " |\n";
        };
        line(header);
        Row rule;
        for (std::size_t i = 0; i < rule.size(); ++i) rule[i] = std::string(width[i], '-');
        line(rule);
        for (const Row& row : rows_) line(row);
        return out;
    }

  private:
    static std::string ms(double value) {
        return value >= 10 ? format("%.1f ms", value) : format("%.2f ms", value);
    }
    static std::string number(double value, const char* unit) {
        if (value >= 1000) return format("%.0f %s", value, unit);
        if (value >= 10) return format("%.1f %s", value, unit);
        return format("%.2f %s", value, unit);
    }

    void missing(const std::string& measure, const std::string& goal) {
        rows_.push_back({measure, "not run", "-", "-", goal, "-"});
    }

    const CollectingReporter& results_;
    std::vector<Row> rows_;
};

}  // namespace

std::string summary_table(const CollectingReporter& results) {
    TableBuilder table(results);
    table.compare("a. query round trip, median", "a_query/alternating", "library_p50_us",
                  "a_query/alternating", "raw_p50_us", "us", "ratio <= 1.10",
                  [](double, double ratio) { return ratio <= 1.10; });
    table.compare("b. CPU/wall, answer after 2 ms", "b_wait/library", "b_wait/spin", "cpu_pct", "%",
                  "library <= 3 %", [](double lib, double) { return lib <= 3; });
    table.compare("b. wall per 2 ms query", "b_wait/library", "b_wait/spin", "wall_us", "us",
                  "ratio <= 1.05", [](double, double ratio) { return ratio <= 1.05; });
    table.compare("c. PP_Abs_move per second", "c_command/library", "c_command/raw", "per_s", "/s",
                  "ratio >= 0.90", [](double, double ratio) { return ratio >= 0.90; });
    table.lateness("d. time-out GetPosition", "d_timeout/GetPosition", 800);
    table.lateness("d. time-out U_Transmit_Validation 12 B", "d_timeout/U_Transmit_Validation_12",
                   800);
    table.lateness("d. time-out U_Transmit_Validation 51 B", "d_timeout/U_Transmit_Validation_51",
                   3800);
    table.lateness("d. time-out GetPosition, limit set to 100 ms",
                   "d_timeout/GetPosition_limit_100", 100);
    table.lateness("d. time-out Orvex_ReadMany, 16 silent items", "d_timeout/Orvex_ReadMany_16",
                   834);
    table.allocations("e. allocations per PP_Abs_move", "e_alloc/PP_Abs_move",
                      "e_alloc/raw_command");
    table.allocations("e. allocations per PP_Set", "e_alloc/PP_Set", "e_alloc/raw_command");
    table.allocations("e. allocations per GetPosition", "e_alloc/GetPosition", "e_alloc/raw_query");
    table.allocations("e. allocations per SDO_Read", "e_alloc/SDO_Read", "e_alloc/raw_query");
    table.allocations("e. allocations per U_Transmit_Validation", "e_alloc/U_Transmit_Validation",
                      "e_alloc/raw_query");
    table.load_time("f. load (dlopen, fresh process)", "f_load/dlopen");
    auto info = [](double, double) { return true; };
    table.compare("g. orvex-sim queries/s, one drive", "g_sim/library_one_drive",
                  "g_sim/raw_one_drive", "per_s", "/s", "", info);
    table.compare("g. orvex-sim queries/s, two drives", "g_sim/library_two_drives",
                  "g_sim/raw_two_drives", "per_s", "/s", "", info);
    for (const BatchLine& line : batch_lines()) {
        table.batch(std::string("h. 8 drives, position + statusword, ") + line.name,
                    std::string("h_batch/batch_") + line.name,
                    std::string("h_batch/sequential_") + line.name, line.speedup_goal);
    }
    for (const TransferLine& line : transfer_lines()) {
        for (const char* direction : {"upload", "download"}) {
            table.transfer(std::string("i. 1 KB ") + direction + ", 115200 baud, " + line.name,
                           std::string("i_transfer/") + direction + "_block_" + line.name,
                           std::string("i_transfer/") + direction + "_segmented_" + line.name,
                           line.speedup_goal);
        }
    }
    return table.text();
}

}  // namespace orvex::bench
