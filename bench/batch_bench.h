// h. Position and statusword of 8 drives through orvex-sim's line model: 16 single queries one
// after the other against one Orvex_ReadMany, with the model's wire-time bound beside each.
#pragma once

#include <string>
#include <vector>

namespace orvex::bench {

void register_batch_benchmarks();
void stop_batch_simulators();

// The line settings the group runs with: name suffix, orvex-sim options, goal of the speed-up
// (0: none).
struct BatchLine {
    const char* name;
    int baud;
    int latency_ms;
    double speedup_goal;
};
const std::vector<BatchLine>& batch_lines();

}  // namespace orvex::bench
