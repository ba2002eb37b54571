#include "exchange.h"

#include "deadline.h"
#include "frame_receiver.h"
#include "port_state.h"
#include "time_limits.h"

namespace orvex {
namespace {

Outcome fail_with(Outcome outcome) {
    record(outcome);
    return outcome;
}

// Waits until the deadline has expired; for when there is nothing to wait on.
void wait_out(const Deadline& deadline) {
    for (std::uint32_t remaining; (remaining = deadline.remaining_ms()) > 0;)
        os::sleep_ms(remaining);
}

// Result of waiting for more input.
enum class Wait { kMore, kLate, kGone };

// Blocks until input is waiting (`input_ready`) or the deadline expires. kLate once it has,
// kGone (with the system error recorded) when the device has gone away.
Wait wait_for_input(os::DeviceHandle device, const Deadline& deadline, bool& input_ready) {
    input_ready = false;
    const std::uint32_t remaining = deadline.remaining_ms();
    if (remaining == 0) return Wait::kLate;
    const os::Status status = os::wait_readable(device, remaining, input_ready);
    if (status.ok) return Wait::kMore;
    record_system_error(status.error);
    return Wait::kGone;
}

}  // namespace

Outcome read_some(os::DeviceHandle device, std::uint8_t* into, std::size_t wanted,
                  std::size_t& got) {
    PortGuard guard;
    const os::Status status = os::read_waiting(device, into, wanted, got);
    if (!status.ok) {
        os::purge(device, os::Purge::kReceive);
        record_system_error(status.error);
        return Outcome::kSystemError;
    }
    return Outcome::kOk;
}

Outcome sdo_upload(int node, std::uint8_t command, ObjectEntry entry, std::uint32_t& value) {
    const int limit = answer_limit_ms(kFrameSize);
    ExchangeGuard exchange;
    const os::DeviceHandle device = port_device();  // stable: open and close wait for us
    // Whatever is waiting now answers an earlier request, not this one.
    FrameReceiver& receiver = port_receiver();
    receiver.discard_waiting(device);
    const CanSerialFrame request = upload_request(node, command, entry);
    const Outcome sent = Serial_Write(request.data(), kFrameSize);
    const Deadline deadline = Deadline::starting_now(limit);
    if (sent == Outcome::kSystemError) return sent;
    if (sent == Outcome::kNoPort) {
        wait_out(deadline);  // with no port a query still takes its full time limit
        return fail_with(Outcome::kNoPort);
    }

    FrameWait wait(deadline);
    for (std::uint8_t frame[kFrameSize];;) {
        const Outcome received = receiver.next(device, frame, wait);
        if (received == Outcome::kTimeout) return fail_with(Outcome::kTimeout);
        if (received != Outcome::kOk) return received;
        switch (classify_answer(frame, node, entry)) {
            case AnswerKind::kResponse:
                value = answer_u32(frame);
                record(Outcome::kOk);
                return Outcome::kOk;
            case AnswerKind::kAbort:
                record_abort(answer_u32(frame));
                return Outcome::kSdoAbort;
            case AnswerKind::kOther:
                // Once late, the receiver ends the wait when the input waiting then is used up.
                receiver.pass_over_last();
                break;
        }
    }
}

bool raw_exchange(void* purge_handle, const void* request, std::size_t request_length, void* answer,
                  std::size_t answer_length) {
    ExchangeGuard exchange;
    // It reads the device's own queue: a partial frame kept for Orvex_ReceiveFrame is stale now.
    port_receiver().forget();
    if (purge_handle != nullptr) os::purge_foreign_handle(purge_handle);
    // The raw exchange goes on whatever the write did; the outcome still tells the host.
    const Outcome sent = Serial_Write(request, request_length);
    const Deadline deadline = Deadline::starting_now(answer_limit_ms(answer_length));
    if (answer_length == 0) return true;
    // A late answer is a time-out, unless the request never went out: then that is the reason.
    const Outcome late = sent == Outcome::kOk ? Outcome::kTimeout : sent;

    const os::DeviceHandle device = port_device();
    if (device == os::kNoDevice) {
        wait_out(deadline);
        record(Outcome::kNoPort);
        return false;
    }
    // The answer stays queued until it is complete, so that bytes of a late answer are still there
    // for the next exchange, as hosts of this call expect. Part of an answer, or input reported but
    // not yet counted, cannot be waited on (the device is readable at once): then it naps for a
    // millisecond instead of spinning.
    for (bool nap_next = false;;) {
        os::Status status;
        const std::size_t waiting = os::bytes_waiting(device, status);
        if (!status.ok) {
            record_system_error(status.error);
            return false;
        }
        if (waiting >= answer_length) break;
        if (waiting > 0 || nap_next) {
            if (deadline.expired()) {
                record(late);
                return false;
            }
            os::sleep_ms(1);
            nap_next = false;
            continue;
        }
        bool input_ready = false;
        switch (wait_for_input(device, deadline, input_ready)) {
            case Wait::kMore:
                nap_next = input_ready;
                continue;
            case Wait::kLate:
                record(late);
                return false;
            case Wait::kGone:
                return false;
        }
    }
    auto* into = static_cast<std::uint8_t*>(answer);
    for (std::size_t have = 0; have < answer_length;) {
        std::size_t got = 0;
        if (read_some(device, into + have, answer_length - have, got) != Outcome::kOk) return false;
        if (got == 0) {
            // Counted but not there: an incomplete answer is not a success.
            if (sent != Outcome::kSystemError) record_system_error(0);
            return false;
        }
        have += got;
    }
    record(sent);
    return true;
}

}  // namespace orvex
