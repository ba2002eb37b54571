// The serial line of orvex-sim's line model, as arithmetic: how soon, at best, a host can have the
// answers to requests it writes. The benchmarks print this bound next to what they measure.
#pragma once

#include <vector>

namespace orvex::bench {

struct LineModel {
    int baud = 0;        // bytes paced at 10 bits each, both ways; 0: instant
    int latency_ms = 0;  // answer bytes held like a USB-serial latency timer; 0: none
    int can_kbit = 0;    // each CAN frame's time on the bus; 0: none
};

// Bits of a CAN frame with 8 data bytes and an 11-bit identifier, without stuff bits.
constexpr int kCanFrameBits = 111;
// A latency timer also lets its bytes go once this many are held.
constexpr int kLatencyBufferBytes = 62;

// Microseconds from writing `requests` upload requests back to back until the last answer byte
// can have reached the host, with the adapter answering each request as soon as it has it.
double pipelined_bound_us(const LineModel& line, int requests);

// The same requests one at a time, each written once the previous answer is in.
double sequential_bound_us(const LineModel& line, int requests);

// One step of an SDO transfer: `sent` frames written at once, then `answered` frames back, which
// the adapter sends as soon as the last frame sent is in. A step that awaits no answer costs the
// host nothing.
struct TransferStep {
    int sent;
    int answered;
};
// Microseconds the steps take at best, one after the other.
double transfer_bound_us(const LineModel& line, const std::vector<TransferStep>& steps);

}  // namespace orvex::bench
