// i. A kilobyte read and written through orvex-sim's line model (115200 baud, USB latency timer of
// 1 ms and of 16 ms): segmented transfers, one round trip a segment, against block transfers,
// 127 segments a round trip, each beside the line's bound for its own dialogue.
#pragma once

#include <vector>

namespace orvex::bench {

struct TransferLine {
    const char* name;
    int baud;
    int latency_ms;
    double speedup_goal;  // block against segmented; 0: none
};
const std::vector<TransferLine>& transfer_lines();

void register_transfer_benchmarks();
void stop_transfer_simulators();

}  // namespace orvex::bench
