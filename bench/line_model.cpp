#include "line_model.h"

#include <algorithm>
#include <vector>

namespace orvex::bench {
namespace {

constexpr int kFrameBytes = 12;

// When the last of `answer_bytes` (the times they leave the adapter, in order) reaches the host
// through the latency timer: held bytes go when the first of them has waited latency_ms, or at
// once when the buffer fills.
double delivered_us(const LineModel& line, const std::vector<double>& answer_bytes) {
    if (line.latency_ms <= 0) return answer_bytes.empty() ? 0.0 : answer_bytes.back();
    const double latency_us = line.latency_ms * 1000.0;
    double delivered = 0, first_held = 0;
    int held = 0;
    for (double at : answer_bytes) {
        if (held > 0 && first_held + latency_us <= at) {
            delivered = first_held + latency_us;
            held = 0;
        }
        if (held == 0) first_held = at;
        if (++held == kLatencyBufferBytes) {
            delivered = at;
            held = 0;
        }
    }
    if (held > 0) delivered = first_held + latency_us;
    return delivered;
}

}  // namespace

double transfer_bound_us(const LineModel& line, const std::vector<TransferStep>& steps) {
    const double byte_us = line.baud > 0 ? 10e6 / line.baud : 0.0;
    const double can_us = line.can_kbit > 0 ? kCanFrameBits * 1000.0 / line.can_kbit : 0.0;
    double total = 0;
    for (const TransferStep& step : steps) {
        if (step.answered == 0) continue;
        // The last frame sent is in, crosses the bus, and its answers cross back one by one.
        const double received = step.sent * kFrameBytes * byte_us + can_us;
        std::vector<double> answer_bytes;
        double line_free = received;
        for (int i = 0; i < step.answered; ++i) {
            const double start = std::max(line_free, received + (i + 1) * can_us);
            for (int k = 1; k <= kFrameBytes; ++k) answer_bytes.push_back(start + k * byte_us);
            line_free = start + kFrameBytes * byte_us;
        }
        total += delivered_us(line, answer_bytes);
    }
    return total;
}

double pipelined_bound_us(const LineModel& line, int requests) {
    const double byte_us = line.baud > 0 ? 10e6 / line.baud : 0.0;
    const double can_us = line.can_kbit > 0 ? kCanFrameBits * 1000.0 / line.can_kbit : 0.0;

    // Requests reach the adapter one frame time apart; each crosses the bus, and so does its
    // answer, one frame at a time; the answers leave the adapter byte by byte.
    std::vector<double> answer_bytes;
    double bus_free = 0, line_free = 0;
    for (int i = 0; i < requests; ++i) {
        const double received = (i + 1) * kFrameBytes * byte_us;
        const double answered = std::max(bus_free, received) + 2 * can_us;
        bus_free = answered;
        const double start = std::max(line_free, answered);
        for (int k = 1; k <= kFrameBytes; ++k) answer_bytes.push_back(start + k * byte_us);
        line_free = start + kFrameBytes * byte_us;
    }
    return delivered_us(line, answer_bytes);
}

double sequential_bound_us(const LineModel& line, int requests) {
    return requests * pipelined_bound_us(line, 1);
}

}  // namespace orvex::bench
