// i. Following 8 drives: their own transmit PDOs (streaming) against polling with Orvex_ReadMany,
// on orvex-sim's line model.
#pragma once

namespace orvex::bench {

void register_stream_benchmarks();
void stop_stream_simulators();

}  // namespace orvex::bench
