#include "exchange.h"

#include "deadline.h"
#include "port_state.h"
#include "time_limits.h"

namespace orvex {
namespace {

int& exchange_depth() {
    static thread_local int depth = 0;
    return depth;
}

bool claims(const std::uint32_t* nodes, int node) {
    return (nodes[node >> 5] >> (node & 31) & 1u) != 0;
}

// SDO traffic by identifier: answers from a server (0x580-0x5FF) and requests to one
// (0x600-0x67F: the adapter's echo of a request, or another master's).
bool is_sdo_answer(const std::uint8_t* frame) {
    const unsigned id = frame_id(frame);
    return id >= kSdoResponseBase && id < kSdoResponseBase + 0x80u;
}
bool is_sdo_request(const std::uint8_t* frame) {
    const unsigned id = frame_id(frame);
    return id >= kSdoRequestBase && id < kSdoRequestBase + 0x80u;
}

}  // namespace

Exchange::Exchange(Priority priority) : priority_(priority) {
    Line& l = line();
    outermost_ = exchange_depth()++ == 0;
    if (!outermost_) {
        l.exchange_lock.lock();
    } else if (priority == Priority::kStop) {
        l.stops_waiting.fetch_add(1);
        l.exchange_lock.lock();
        l.stops_waiting.fetch_sub(1);
    } else {
        // While an exchange has given way to a stop, only stops may have the line.
        std::atomic<int>* counted = priority == Priority::kNormal ? &l.others_waiting : nullptr;
        if (counted != nullptr) counted->fetch_add(1);
        for (;;) {
            l.exchange_lock.lock();
            if (l.parked.load(std::memory_order_acquire) == 0) break;
            l.exchange_lock.unlock();
            os::sleep_ms(1);
        }
        if (counted != nullptr) counted->fetch_sub(1);
    }
    device_ = l.device;  // stable: open and close wait for us
}

Exchange::~Exchange() {
    line().exchange_lock.unlock();
    --exchange_depth();
}

void Exchange::claim(int node) {
    if (node <= 0 || node > 127) {
        for (std::uint32_t& word : claimed_) word = ~0u;
    } else {
        claimed_[node >> 5] |= 1u << (node & 31);
    }
}

void Exchange::give_way() {
    Line& l = line();
    const bool listener = priority_ == Priority::kListener;
    if (!listener) {
        for (int i = 0; i < 4; ++i) l.parked_nodes[i] = claimed_[i];
        l.parked.store(reinterpret_cast<std::uintptr_t>(this), std::memory_order_release);
    }
    l.exchange_lock.unlock();
    while (l.stops_waiting.load() > 0 || (listener && l.others_waiting.load() > 0)) os::sleep_ms(1);
    l.exchange_lock.lock();
    if (!listener) {
        l.parked.store(0, std::memory_order_release);
        resumed_ = true;
    }
}

Outcome Exchange::next(FrameWait& wait, std::uint8_t* frame) {
    Line& l = line();
    last_held_ = false;
    // Only the outermost exchange of a thread can hand the lock over.
    wait.give_way[0] = wait.give_way[1] = nullptr;
    if (outermost_ && priority_ != Priority::kStop) {
        wait.give_way[0] = &l.stops_waiting;
        if (priority_ == Priority::kListener) wait.give_way[1] = &l.others_waiting;
    }
    for (;;) {
        if (resumed_) {
            if (l.held.pop(frame)) {
                last_held_ = true;
                return Outcome::kOk;
            }
            resumed_ = false;
        }
        if (device_ == os::kNoDevice) return Outcome::kNoPort;
        const Outcome received = l.receiver.next(device_, frame, wait);
        if (received != Outcome::kGiveWay) return received;
        give_way();
    }
}

bool Exchange::is_streamed(const std::uint8_t* frame) {
    Line& l = line();
    os::LockGuard guard(l.events_lock);
    return l.streams.owns(frame);
}

void Exchange::pass_over(const std::uint8_t* frame) {
    Line& l = line();
    if (!last_held_) l.receiver.pass_over_last();
    {
        // A stream's frame: its values are the newest, and nobody else's business.
        os::LockGuard guard(l.events_lock);
        if (l.streams.take(frame, os::tick_ms())) return;
    }
    if (is_sdo_request(frame)) return;
    if (is_sdo_answer(frame)) {
        // The answer to a download of a one-frame command, perhaps: one fewer to come.
        const std::uint8_t answer = frame[2];
        std::uint8_t& unanswered = l.unanswered_downloads[frame[1] & 0x7F];
        if ((answer == sdo::kDownloadConfirmation || answer == sdo::kAbort) && unanswered > 0)
            --unanswered;
        // Owed to the exchange that gave way, or late for a request nobody waits for any more.
        if (l.parked.load(std::memory_order_relaxed) != 0 &&
            claims(l.parked_nodes, sdo_responder(frame)))
            l.held.push(frame);
        return;
    }
    l.unsolicited.push(frame);
    observe(frame);
}

void Exchange::observe(const std::uint8_t* frame) {
    if (is_sdo_answer(frame) || is_sdo_request(frame)) return;
    Line& l = line();
    os::LockGuard guard(l.events_lock);
    l.events.observe(frame, os::tick_ms());
}

Outcome Exchange::drain() {
    if (device_ == os::kNoDevice) return Outcome::kNoPort;
    Line& l = line();
    const Outcome outcome = take_in_waiting();
    // What is left is the front of a frame or noise, from before this exchange: no byte of it
    // may become part of the answer to what this exchange sends. Unless an exchange gave way to
    // this one: then it is the front of an answer the bus is sending that exchange.
    if (l.parked.load(std::memory_order_acquire) == 0) l.receiver.forget();
    return outcome;
}

Outcome Exchange::take_in_waiting() {
    if (device_ == os::kNoDevice) return Outcome::kNoPort;
    // Already late: only the input waiting now is read.
    FrameWait now(Deadline::starting_now(-1));
    const Outcome outcome = take_in(now);
    // With what the drives said so far taken in, the heartbeats watched are judged.
    Line& l = line();
    os::LockGuard guard(l.events_lock);
    l.events.judge(os::tick_ms());
    return outcome;
}

Outcome Exchange::take_in(FrameWait& wait) {
    for (std::uint8_t frame[kFrameSize];;) {
        const Outcome received = line().receiver.next(device_, frame, wait);
        if (received == Outcome::kSystemError) return received;
        if (received != Outcome::kOk) return Outcome::kOk;
        last_held_ = true;  // taken whole: the receiver need not look at it again
        pass_over(frame);
    }
}

Outcome Exchange::send(const void* frames, std::size_t length) {
    if (device_ == os::kNoDevice) {
        record(Outcome::kNoPort);
        return Outcome::kNoPort;
    }
    Line& l = line();
    os::LockGuard guard(l.port_lock);
    const os::Status status = os::write_all(device_, frames, length);
    if (!status.ok) {
        os::purge(device_, os::Purge::kReceive);
        l.receiver.forget();
        record_system_error(status.error);
        return Outcome::kSystemError;
    }
    record(Outcome::kOk);
    return Outcome::kOk;
}

std::uint32_t stops_sent(int node) {
    return line().stops[node & 0x7F].load(std::memory_order_acquire);
}

namespace {

void count_stop(int node) {
    line().stops[node & 0x7F].fetch_add(1, std::memory_order_acq_rel);
}

}  // namespace

Outcome wait_out(const Deadline& deadline) {
    for (std::uint32_t step; !deadline.cancelled() && (step = deadline.step_ms()) > 0;)
        os::sleep_ms(step);
    return deadline.cancelled() ? Outcome::kCancelled : Outcome::kTimeout;
}

Outcome end_of_wait(Outcome outcome) {
    if (outcome == Outcome::kTimeout || outcome == Outcome::kCancelled ||
        outcome == Outcome::kNoPort)
        record(outcome);
    return outcome;
}

Outcome sdo_upload(int node, std::uint8_t command, ObjectEntry entry, std::uint32_t& value) {
    const int limit = answer_limit_ms(kFrameSize);
    Exchange exchange;
    exchange.claim(node);
    const CanSerialFrame request = upload_request(node, command, entry);
    // Taking in what waits is part of the query's time: no input stretches its limit.
    const Deadline deadline = Deadline::starting_now(limit);
    exchange.drain();
    const Outcome sent = exchange.send(request.data(), kFrameSize);
    if (sent == Outcome::kSystemError) return sent;
    if (sent == Outcome::kNoPort) {
        // With no port a query still takes its full time limit.
        if (wait_out(deadline) == Outcome::kCancelled) return end_of_wait(Outcome::kCancelled);
        return end_of_wait(Outcome::kNoPort);
    }
    FrameWait wait(deadline);
    AnswerKind kind = AnswerKind::kOther;
    std::uint8_t frame[kFrameSize];
    const Outcome received = exchange.await(wait, frame, [&](const std::uint8_t* f) {
        kind = classify_answer(f, node, entry);
        return kind != AnswerKind::kOther;
    });
    if (received != Outcome::kOk) return end_of_wait(received);
    if (kind == AnswerKind::kAbort) {
        record_abort(answer_u32(frame));
        return Outcome::kSdoAbort;
    }
    if (!is_expedited(frame)) {
        // The object is longer than four bytes: its size is no value (Orvex_SdoUpload reads it).
        const CanSerialFrame refusal = transfer_refusal(node, entry);
        exchange.send(refusal.data(), kFrameSize);
        record_abort(kAbortNotExpedited);
        return Outcome::kSdoAbort;
    }
    value = answer_u32(frame);
    record(Outcome::kOk);
    return Outcome::kOk;
}

namespace {

std::uint32_t download_mask(std::uint8_t command) {
    switch (command) {
        case sdo::kDownload1:
            return 0xFFu;
        case sdo::kDownload2:
            return 0xFFFFu;
        case sdo::kDownload3:
            return 0xFFFFFFu;
        default:
            return 0xFFFFFFFFu;
    }
}

}  // namespace

Outcome sdo_download_confirmed(int node, std::uint8_t command, ObjectEntry entry,
                               std::uint32_t value, Priority priority, const StopGuard* guard) {
    const int limit = query_limit_ms();
    if (priority == Priority::kStop) count_stop(node);
    Exchange exchange(priority);
    exchange.claim(node);
    if (!exchange.has_port()) return end_of_wait(Outcome::kNoPort);
    if (guard != nullptr && guard->stopped_since()) {
        record(Outcome::kStateChanged);
        return Outcome::kStateChanged;
    }
    Line& l = line();
    const Confirmation how = l.confirmation;
    // Until the adapter is known to forward confirmations, the object is read back in the same
    // round trip: the server answers in order, so whichever answer comes first tells.
    CanSerialFrame frames[2] = {sdo_download(node, command, entry, value),
                                upload_request(node, sdo::kUploadRequest, entry)};
    const std::size_t count = how == Confirmation::kForwarded ? 1 : 2;
    std::uint8_t bytes[2 * kFrameSize];
    for (std::size_t i = 0; i < count; ++i)
        std::copy(frames[i].data(), frames[i].data() + kFrameSize, bytes + i * kFrameSize);
    FrameWait wait(Deadline::starting_now(limit));
    exchange.drain();
    const Outcome sent = exchange.send(bytes, count * kFrameSize);
    if (sent != Outcome::kOk) return sent;
    // Expedited SDO has no transaction id: an abort may answer a download a one-frame command
    // sent before this one (a size the server refused, say). While such downloads are unanswered,
    // an abort is held and the wait goes on: an answer of ours after it proves it stale; none
    // before the limit makes it the answer.
    std::uint8_t& unanswered = l.unanswered_downloads[node & 0x7F];
    bool abort_held = false;
    std::uint8_t frame[kFrameSize];
    for (;;) {
        const Outcome received = exchange.await(wait, frame, [&](const std::uint8_t* f) {
            if (!answers_object(f, node, entry)) return false;
            const std::uint8_t answer = f[2];
            if (answer == sdo::kAbort || answer == sdo::kDownloadConfirmation) return true;
            return how != Confirmation::kForwarded && (answer & 0xE0) == 0x40;
        });
        if (received == Outcome::kTimeout && abort_held) {
            unanswered = 0;
            return Outcome::kSdoAbort;  // recorded when it came
        }
        if (received != Outcome::kOk) return end_of_wait(received);
        if (frame[2] != sdo::kAbort) break;
        record_abort(answer_u32(frame));
        if (unanswered == 0) return Outcome::kSdoAbort;
        --unanswered;
        abort_held = true;
    }
    unanswered = 0;
    if (frame[2] == sdo::kDownloadConfirmation) {
        l.confirmation = Confirmation::kForwarded;
        record(Outcome::kOk);
        return Outcome::kOk;
    }
    if (how == Confirmation::kUnknown) l.confirmation = Confirmation::kReadBack;
    const std::uint32_t mask = download_mask(command);
    if ((answer_u32(frame) & mask) == (value & mask)) {
        record(Outcome::kOk);
        return Outcome::kOk;
    }
    // The object kept its value: an abort that came before was this write's.
    if (abort_held) return Outcome::kSdoAbort;
    record(Outcome::kValueMismatch);
    return Outcome::kValueMismatch;
}

int send_commands(const CanSerialFrame* frames, std::size_t count, Priority priority) {
    if (priority == Priority::kStop && count > 0) count_stop(frames[0].data()[1]);
    Exchange exchange(priority);
    Line& l = line();
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t* frame = frames[i].data();
        if (exchange.send(frame, kFrameSize) != Outcome::kOk) return 0;
        // A download whose answer nobody awaits (see sdo_download_confirmed).
        if (frame[0] == (kSdoRequestBase >> 8) && (frame[2] & 0xE0) == 0x20) {
            std::uint8_t& unanswered = l.unanswered_downloads[frame[1] & 0x7F];
            if (unanswered < 0xFF) ++unanswered;
        }
    }
    return 1;
}

bool raw_exchange(void* purge_handle, const void* request, std::size_t request_length, void* answer,
                  std::size_t answer_length) {
    Exchange exchange;
    Line& l = line();
    // It reads the device's own queue: a partial frame kept for Orvex_ReceiveFrame is stale now.
    l.receiver.forget();
    if (purge_handle != nullptr) os::purge_foreign_handle(purge_handle);
    // The raw exchange goes on whatever the write did; the outcome still tells the host.
    const Outcome sent = exchange.send(request, request_length);
    const Deadline deadline = Deadline::starting_now(answer_limit_ms(answer_length));
    if (answer_length == 0) return true;
    const os::DeviceHandle device = port_device();
    if (device == os::kNoDevice) {
        end_of_wait(wait_out(deadline) == Outcome::kCancelled ? Outcome::kCancelled
                                                              : Outcome::kNoPort);
        return false;
    }
    // A late answer is a time-out, unless the request never went out: then that is the reason.
    auto late = [&] {
        if (deadline.cancelled()) return end_of_wait(Outcome::kCancelled);
        if (sent == Outcome::kOk) return end_of_wait(Outcome::kTimeout);
        record(sent);
        return sent;
    };
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
        if (deadline.expired() || deadline.cancelled()) {
            late();
            return false;
        }
        if (waiting > 0 || nap_next) {
            os::sleep_ms(1);
            nap_next = false;
            continue;
        }
        bool input_ready = false;
        status = os::wait_readable(device, deadline.step_ms(), input_ready);
        if (!status.ok) {
            record_system_error(status.error);
            return false;
        }
        nap_next = input_ready;
    }
    auto* into = static_cast<std::uint8_t*>(answer);
    for (std::size_t have = 0; have < answer_length;) {
        std::size_t got = 0;
        const os::Status status = os::read_waiting(device, into + have, answer_length - have, got);
        if (!status.ok) {
            os::purge(device, os::Purge::kReceive);
            record_system_error(status.error);
            return false;
        }
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
