// Collects what the benchmarks measured and turns it into the closing summary table: each
// measure with the library's figure, its reference, their ratio and the goal.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace orvex::bench {

// The console output as usual, plus a copy of every counter: the median over repetitions where a
// benchmark repeats, else its single run.
class CollectingReporter : public benchmark::ConsoleReporter {
  public:
    explicit CollectingReporter(OutputOptions options) : ConsoleReporter(options) {}
    void ReportRuns(const std::vector<Run>& runs) override;

    std::optional<double> counter(const std::string& benchmark, const std::string& name) const;
    const std::vector<std::string>& failures() const { return failures_; }

  private:
    struct Entry {
        bool from_median = false;
        std::map<std::string, double> counters;
    };
    std::map<std::string, Entry> results_;
    std::vector<std::string> failures_;
};

// The table as text, one measure per line.
std::string summary_table(const CollectingReporter& results);

}  // namespace orvex::bench
