// The extension exports: settable time limits, receiving frames as they come, pipelined reads.
#include <cstring>

#include "../link/batch_exchange.h"
#include "../link/deadline.h"
#include "../link/frame_receiver.h"
#include "../link/last_result.h"
#include "../link/port_state.h"
#include "../link/time_limits.h"
#include "orvex.h"

using orvex::Outcome;
using orvex::record;

extern "C" {

int Orvex_SetTimeLimits(int query_ms, int exchange_ms) {
    if (!orvex::set_time_limits(query_ms, exchange_ms)) {
        record(Outcome::kBadArgument);
        return 0;
    }
    record(Outcome::kOk);
    return 1;
}

int Orvex_ReceiveFrame(unsigned char frame[12], int timeout_ms) {
    using namespace orvex;
    if (frame == nullptr || timeout_ms < 0 || timeout_ms > kMaxLimitMs) {
        record(Outcome::kBadArgument);
        return 0;
    }
    // Held for the whole wait: a query either finishes before or starts after, and its answer
    // never lands here.
    ExchangeGuard exchange;
    const os::DeviceHandle device = port_device();
    if (device == os::kNoDevice) {
        record(Outcome::kNoPort);
        return 0;
    }
    std::uint8_t received[kFrameSize];
    // Late once strictly more than timeout_ms - 1 has passed: it waits at most timeout_ms, and a
    // timeout of 0 takes only what is already there.
    FrameWait wait(Deadline::starting_now(timeout_ms - 1));
    const Outcome outcome = port_receiver().next(device, received, wait);
    if (outcome != Outcome::kOk) {
        if (outcome != Outcome::kSystemError) record(outcome);
        return 0;
    }
    std::memcpy(frame, received, kFrameSize);
    record(Outcome::kOk);
    return 1;
}

int Orvex_ReadMany(int count, const int* nodes, const int* indexes, const int* subindexes,
                   unsigned* values, int* results) {
    using namespace orvex;
    const BatchReads batch{count, nodes, indexes, subindexes, values, results};
    if (!batch_is_valid(batch)) {
        if (results != nullptr && count > 0 && count <= kMaxBatchReads)
            for (int i = 0; i < count; ++i) results[i] = ORVEX_BAD_ARGUMENT;
        record(Outcome::kBadArgument);
        return 0;
    }
    return read_batch(batch);
}

}  // extern "C"
