// The extension exports: settable time limits, receiving frames as they come, pipelined reads,
// objects of any size.
#include <cstring>

#include "../link/batch_exchange.h"
#include "../link/cancel.h"
#include "../link/deadline.h"
#include "../link/exchange.h"
#include "../link/last_result.h"
#include "../link/port_state.h"
#include "../link/sdo_transfer.h"
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
    // Gives way to every other caller while it waits: their answers are theirs, and what the
    // bus says by itself meanwhile is kept in the line's queue, which comes first here.
    Exchange exchange(Priority::kListener);
    if (!exchange.has_port()) {
        record(Outcome::kNoPort);
        return 0;
    }
    std::uint8_t received[kFrameSize];
    if (line().unsolicited.pop(received)) {
        std::memcpy(frame, received, kFrameSize);
        record(Outcome::kOk);
        return 1;
    }
    // Late once strictly more than timeout_ms - 1 has passed: it waits at most timeout_ms, and a
    // timeout of 0 takes only what is already there.
    FrameWait wait(Deadline::starting_now(timeout_ms - 1));
    const Outcome outcome =
        exchange.await(wait, received, [](const std::uint8_t* f) { return !Exchange::is_streamed(f); });
    if (outcome != Outcome::kOk) {
        end_of_wait(outcome);
        return 0;
    }
    exchange.observe(received);
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

namespace {

// An SDO server is one of nodes 1-127; indexes are 16 bits and subindexes 8.
bool object_is_valid(int node, int index, int subindex) {
    return node >= 1 && node <= 127 && index >= 0 && index <= 0xFFFF && subindex >= 0 &&
           subindex <= 0xFF;
}

orvex::ObjectEntry entry_of(int index, int subindex) {
    return orvex::ObjectEntry{static_cast<std::uint16_t>(index),
                              static_cast<std::uint8_t>(subindex)};
}

}  // namespace

int Orvex_SdoUpload(int node, int index, int subindex, unsigned char* buffer, int capacity,
                    int* length) {
    using namespace orvex;
    last_result().transfer = TransferRecord{};
    if (length != nullptr) *length = 0;
    if (!object_is_valid(node, index, subindex) || length == nullptr || capacity < 0 ||
        (buffer == nullptr && capacity > 0)) {
        record(Outcome::kBadArgument);
        return 0;
    }
    std::size_t received = 0;
    const Outcome outcome = upload_object(node, entry_of(index, subindex), buffer,
                                          static_cast<std::size_t>(capacity), received);
    *length = received > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(received);
    return outcome == Outcome::kOk ? 1 : 0;
}

int Orvex_SdoDownload(int node, int index, int subindex, const unsigned char* data, int length) {
    using namespace orvex;
    last_result().transfer = TransferRecord{};
    if (!object_is_valid(node, index, subindex) || length < 0 || (data == nullptr && length > 0)) {
        record(Outcome::kBadArgument);
        return 0;
    }
    const Outcome outcome =
        download_object(node, entry_of(index, subindex), data, static_cast<std::size_t>(length));
    return outcome == Outcome::kOk ? 1 : 0;
}

int Orvex_SetBlockTransfer(int threshold_bytes, int block_size) {
    if (!orvex::set_block_transfer(threshold_bytes, block_size)) {
        record(Outcome::kBadArgument);
        return 0;
    }
    record(Outcome::kOk);
    return 1;
}

int Orvex_LastTransfer(int* kind, int* segments, int* flags) {
    const orvex::TransferRecord& transfer = orvex::last_result().transfer;
    if (kind != nullptr) *kind = transfer.kind;
    if (segments != nullptr) *segments = transfer.segments;
    if (flags != nullptr) *flags = transfer.flags;
    return transfer.kind;
}

void Orvex_Cancel(void) {
    orvex::cancel_waits();
}

unsigned Orvex_FramesDropped(void) {
    return orvex::frames_dropped();
}

}  // extern "C"
