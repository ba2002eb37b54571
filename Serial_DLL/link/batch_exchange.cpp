#include "batch_exchange.h"

#include <cstring>

#include "can_serial_frame.h"
#include "deadline.h"
#include "exchange.h"
#include "last_result.h"
#include "orvex.h"
#include "port_state.h"
#include "time_limits.h"

namespace orvex {
namespace {

constexpr int kPending = 1;  // not an ORVEX_* value: the item still waits for its answer

ObjectEntry entry_of(const BatchReads& batch, int i) {
    return ObjectEntry{static_cast<std::uint16_t>(batch.indexes[i]),
                       static_cast<std::uint8_t>(batch.subindexes[i])};
}

// How much a failure weighs when one outcome stands for the whole batch: a drive that refused
// one object is less serious than one that did not answer, and a line that failed is worse.
int severity(int result) {
    switch (result) {
        case ORVEX_OK:
            return 0;
        case ORVEX_SDO_ABORT:
            return 1;
        case ORVEX_TIMEOUT:
        case ORVEX_CANCELLED:
            return 2;
        case ORVEX_SYSTEM_ERROR:
            return 3;
        default:
            return 4;  // no port
    }
}

bool has_item(const BatchReads& batch, int node, ObjectEntry entry) {
    for (int i = 0; i < batch.count; ++i)
        if (batch.nodes[i] == node && batch.indexes[i] == entry.index &&
            batch.subindexes[i] == entry.subindex)
            return true;
    return false;
}

// The item a frame answers, or -1. A drive's own answer goes to its pending item. A bus item
// (node 0) accepts any SDO response identifier, but never that of a drive with its own item for
// the object (a late or repeated answer of that drive), and prefers 0x580: an answer from there
// replaces one taken from a drive (`from_drive`) while the batch still runs.
int item_answered_by(const BatchReads& batch, const bool* from_drive, const std::uint8_t* frame,
                     AnswerKind& kind) {
    for (int i = 0; i < batch.count; ++i) {
        if (batch.results[i] != kPending || batch.nodes[i] == 0) continue;
        kind = classify_answer(frame, batch.nodes[i], entry_of(batch, i));
        if (kind != AnswerKind::kOther) return i;
    }
    const int drive = sdo_responder(frame);
    for (int i = 0; i < batch.count; ++i) {
        if (batch.nodes[i] != 0) continue;
        if (batch.results[i] != kPending && !(from_drive[i] && drive == 0)) continue;
        if (drive != 0 && has_item(batch, drive, entry_of(batch, i))) continue;
        kind = classify_answer(frame, 0, entry_of(batch, i));
        if (kind != AnswerKind::kOther) return i;
    }
    return -1;
}

void settle_pending(const BatchReads& batch, int result) {
    for (int i = 0; i < batch.count; ++i)
        if (batch.results[i] == kPending) batch.results[i] = result;
}

int finish(const BatchReads& batch) {
    int read = 0;
    int worst = ORVEX_OK;
    for (int i = 0; i < batch.count; ++i) {
        if (batch.results[i] == ORVEX_OK) ++read;
        if (severity(batch.results[i]) > severity(worst)) worst = batch.results[i];
    }
    record(static_cast<Outcome>(worst));
    return read;
}

}  // namespace

int batch_wire_ms(int count, int baud) {
    return count <= 0 ? 0 : wire_ms(2 * static_cast<std::size_t>(count), baud);
}

bool batch_is_valid(const BatchReads& batch) {
    if (batch.count <= 0 || batch.count > kMaxBatchReads) return false;
    if (!batch.nodes || !batch.indexes || !batch.subindexes || !batch.values || !batch.results)
        return false;
    for (int i = 0; i < batch.count; ++i) {
        if (batch.nodes[i] < 0 || batch.nodes[i] > 127) return false;
        if (batch.indexes[i] < 0 || batch.indexes[i] > 0xFFFF) return false;
        if (batch.subindexes[i] < 0 || batch.subindexes[i] > 0xFF) return false;
        for (int j = 0; j < i; ++j)
            if (batch.nodes[j] == batch.nodes[i] && batch.indexes[j] == batch.indexes[i] &&
                batch.subindexes[j] == batch.subindexes[i])
                return false;
    }
    return true;
}

int read_batch(const BatchReads& batch) {
    // Read once: a limit set while the batch runs applies to the next exchange.
    const int limit = query_limit_ms();
    Exchange exchange;
    for (int i = 0; i < batch.count; ++i) {
        batch.results[i] = kPending;
        exchange.claim(batch.nodes[i]);
    }
    if (!exchange.has_port()) {
        settle_pending(batch, ORVEX_NO_PORT);
        return finish(batch);
    }
    // Taking in what waits is part of the batch's time: no input stretches its limit.
    const std::uint32_t started = os::tick_ms();
    exchange.drain();

    std::uint8_t requests[kMaxBatchReads * kFrameSize];
    for (int i = 0; i < batch.count; ++i) {
        const CanSerialFrame request =
            upload_request(batch.nodes[i], sdo::kUploadRequest, entry_of(batch, i));
        std::memcpy(requests + static_cast<std::size_t>(i) * kFrameSize, request.data(),
                    kFrameSize);
    }
    // One write: the requests leave back to back and the limit counts from the last of them.
    const Outcome sent =
        exchange.send(requests, static_cast<std::size_t>(batch.count) * kFrameSize);
    const Deadline deadline(started, limit + batch_wire_ms(batch.count, port_baud()));
    if (sent != Outcome::kOk) {
        settle_pending(batch, static_cast<int>(sent));
        return finish(batch);
    }

    bool abort_seen = false;
    bool from_drive[kMaxBatchReads] = {};  // bus items answered from a drive's identifier
    CanSerialFrame refusals[kMaxBatchReads];
    int refused = 0;
    FrameWait wait(deadline);
    for (int pending = batch.count; pending > 0;) {
        std::uint8_t frame[kFrameSize];
        AnswerKind kind = AnswerKind::kOther;
        int i = -1;
        const Outcome received = exchange.await(wait, frame, [&](const std::uint8_t* f) {
            i = item_answered_by(batch, from_drive, f, kind);
            return i >= 0;
        });
        if (received != Outcome::kOk) {
            settle_pending(batch, static_cast<int>(received));
            break;
        }
        if (batch.results[i] == kPending) --pending;
        from_drive[i] = batch.nodes[i] == 0 && sdo_responder(frame) != 0;
        if (kind == AnswerKind::kResponse && is_expedited(frame)) {
            batch.values[i] = answer_u32(frame);
            batch.results[i] = ORVEX_OK;
        } else {
            batch.results[i] = ORVEX_SDO_ABORT;
            std::uint32_t code = answer_u32(frame);
            if (kind == AnswerKind::kResponse) {
                // A longer object: its server's transfer is ended once the batch is in.
                code = kAbortNotExpedited;
                refusals[refused++] = transfer_refusal(
                    sdo_responder(frame) != 0 ? sdo_responder(frame) : batch.nodes[i],
                    entry_of(batch, i));
            }
            // The first abort's code stands for the batch.
            if (!abort_seen) last_result().abort_code = code;
            abort_seen = true;
        }
    }
    for (int r = 0; r < refused; ++r) exchange.send(refusals[r].data(), kFrameSize);
    return finish(batch);
}

}  // namespace orvex
