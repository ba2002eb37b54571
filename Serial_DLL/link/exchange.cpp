#include "exchange.h"

#include <algorithm>
#include <cstring>

#include "orvex.h"
#include "port_state.h"
#include "serial_device.h"

namespace orvex {
namespace {

struct TickClock {
    bool calibrated = false;
};

TickClock g_clock;
os::RecursiveLock g_exchange_lock;

// Waits until `limit_ms` has strictly passed since `start`; used when there is nothing to wait on.
void wait_out(std::uint32_t start, int limit_ms) {
    for (int elapsed; (elapsed = TickClock_ElapsedMs(start)) <= limit_ms;)
        os::sleep_ms(static_cast<std::uint32_t>(limit_ms - elapsed + 1));
}

// Result of waiting for more input.
enum class Wait { kMore, kLate, kGone };

// Blocks until input is waiting (`ready`) or the limit passes.
Wait wait_for_input(os::DeviceHandle device, std::uint32_t start, int limit_ms, bool& ready) {
    ready = false;
    const int elapsed = TickClock_ElapsedMs(start);
    if (elapsed > limit_ms) return Wait::kLate;
    const auto remaining = static_cast<std::uint32_t>(limit_ms - elapsed + 1);
    const os::Status status = os::wait_readable(device, remaining, ready);
    if (status.ok) return Wait::kMore;
    record_system_error(status.error);
    return Wait::kGone;
}

Outcome read_some(os::DeviceHandle device, std::uint8_t* into, std::size_t wanted,
                  std::size_t& got) {
    os::LockGuard guard(port_lock());
    const os::Status status = os::read_waiting(device, into, wanted, got);
    if (!status.ok) {
        os::purge(device, os::Purge::kReceive);
        record_system_error(status.error);
        return Outcome::kSystemError;
    }
    return Outcome::kOk;
}

// Drops bytes from the front of a 12-byte window that holds no wanted frame: a whole frame when it
// is properly terminated, else up to a CR LF found inside it, else one byte, so framing is regained
// after noise.
std::size_t resynchronise(std::uint8_t* window) {
    std::size_t drop = 1;
    if (has_terminator(window)) {
        drop = kFrameSize;
    } else {
        for (std::size_t i = 0; i + 2 < kFrameSize; ++i) {
            if (window[i] == 0x0D && window[i + 1] == 0x0A) {
                drop = i + 2;
                break;
            }
        }
    }
    std::memmove(window, window + drop, kFrameSize - drop);
    return kFrameSize - drop;
}

Outcome fail_with(Outcome outcome) {
    record(outcome);
    return outcome;
}

}  // namespace

void TickClock_Calibrate() {
    if (g_clock.calibrated) return;
    g_clock.calibrated = true;
    // Loading keeps its one-second calibration sleep, but the measured ratio is not applied: the
    // counter counts milliseconds on every platform, so the ratio could only carry the sleep's
    // overrun (stretching every limit) or the counter's granularity (up to 16 ms on Windows,
    // cutting limits short). Limits count the counter's own milliseconds.
    os::sleep_ms(1000);
}

int TickClock_ElapsedMs(std::uint32_t start) {
    const std::uint32_t ticks = os::tick_ms() - start;
    return ticks > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(ticks);
}

void Exchange_Create() {
    g_exchange_lock.create();
}
void Exchange_Destroy() {
    g_exchange_lock.destroy();
}
ExchangeGuard::ExchangeGuard() {
    g_exchange_lock.lock();
}
ExchangeGuard::~ExchangeGuard() {
    g_exchange_lock.unlock();
}

Outcome sdo_upload(int node, std::uint8_t command, ObjectEntry entry, std::uint32_t& value) {
    const int limit = answer_limit_ms(static_cast<int>(kFrameSize));
    ExchangeGuard exchange;
    const os::DeviceHandle device = port_device();  // stable: open and close wait for us
    if (device != os::kNoDevice) {
        // Whatever is waiting now answers an earlier request, not this one.
        os::LockGuard guard(port_lock());
        os::purge(device, os::Purge::kReceive);
    }
    const CanSerialFrame request = upload_request(node, command, entry);
    const bool sent = Serial_Write(request.data(), kFrameSize);
    const std::uint32_t start = os::tick_ms();
    if (!sent) {
        if (last_result().outcome != Outcome::kNoPort) return Outcome::kSystemError;
        wait_out(start, limit);  // with no port a query still takes its full time limit
        return fail_with(Outcome::kNoPort);
    }

    std::uint8_t window[kFrameSize];
    std::size_t have = 0;
    for (;;) {
        if (have < kFrameSize) {
            // Straight from the wait to the read: the answer is usually one read away.
            bool ready = false;
            switch (wait_for_input(device, start, limit, ready)) {
                case Wait::kMore:
                    break;
                case Wait::kLate:
                    return fail_with(Outcome::kTimeout);
                case Wait::kGone:
                    return Outcome::kSystemError;
            }
            if (!ready) continue;
            std::size_t got = 0;
            const Outcome read = read_some(device, window + have, kFrameSize - have, got);
            if (read != Outcome::kOk) return read;
            have += got;
            continue;
        }
        switch (classify_answer(window, node, entry)) {
            case AnswerKind::kResponse:
                value = answer_u32(window);
                record(Outcome::kOk);
                return Outcome::kOk;
            case AnswerKind::kAbort:
                record_abort(answer_u32(window));
                return Outcome::kSdoAbort;
            case AnswerKind::kOther:
                have = resynchronise(window);
                if (TickClock_ElapsedMs(start) > limit) return fail_with(Outcome::kTimeout);
                break;
        }
    }
}

}  // namespace orvex

using orvex::Outcome;

extern "C" int U_Transmit_Validation(void* purgeHandle, const void* request, void* answer,
                                     int requestLength, int answerLength) {
    using namespace orvex;
    constexpr int kTimedOut = -10;
    if (requestLength < 0 || (requestLength > 0 && request == nullptr) ||
        (answerLength > 0 && answer == nullptr)) {
        record(Outcome::kBadArgument);
        return kTimedOut;
    }
    ExchangeGuard exchange;
    if (purgeHandle != nullptr) os::purge_foreign_handle(purgeHandle);
    // The raw exchange goes on whatever the write did; the outcome still tells the host.
    const bool sent = Serial_Write(request, static_cast<std::size_t>(requestLength));
    const std::uint32_t start = os::tick_ms();
    if (answerLength <= 0) return 0;

    const int limit = answer_limit_ms(answerLength);
    const auto wanted = static_cast<std::size_t>(answerLength);
    const os::DeviceHandle device = port_device();
    if (device == os::kNoDevice) {
        wait_out(start, limit);
        record(Outcome::kNoPort);
        return kTimedOut;
    }
    // The answer stays queued until it is complete, so that bytes of a late answer are still there
    // for the next exchange, as hosts of this call expect. Part of an answer, or input reported but
    // not yet counted, cannot be waited on (the device is readable at once): then it naps for a
    // millisecond instead of spinning.
    for (bool nap = false;;) {
        os::Status status;
        const std::size_t waiting = os::bytes_waiting(device, status);
        if (waiting >= wanted) break;
        if (waiting > 0 || nap) {
            if (TickClock_ElapsedMs(start) > limit) {
                record(sent ? Outcome::kTimeout : last_result().outcome);
                return kTimedOut;
            }
            os::sleep_ms(1);
            nap = false;
            continue;
        }
        switch (wait_for_input(device, start, limit, nap)) {
            case Wait::kMore:
                continue;
            case Wait::kLate:
                record(sent ? Outcome::kTimeout : last_result().outcome);
                return kTimedOut;
            case Wait::kGone:
                return kTimedOut;
        }
    }
    auto* into = static_cast<std::uint8_t*>(answer);
    for (std::size_t have = 0; have < wanted;) {
        std::size_t got = 0;
        if (read_some(device, into + have, wanted - have, got) != Outcome::kOk || got == 0) {
            if (got == 0 && last_result().outcome != Outcome::kSystemError) record_system_error(0);
            return kTimedOut;  // an incomplete answer is not a success
        }
        have += got;
    }
    record(sent ? Outcome::kOk : last_result().outcome);
    return 0;
}
