// The bus's own messages, decoded: the next event, the heartbeat consumer, the emergency history.
#include <cstddef>

#include "../link/deadline.h"
#include "../link/exchange.h"
#include "../link/last_result.h"
#include "../link/port_state.h"
#include "../link/time_limits.h"
#include "orvex.h"

using orvex::Outcome;
using orvex::record;

namespace {

// The layout the header documents, the same for 32- and 64-bit hosts.
static_assert(sizeof(OrvexEvent) == 24, "OrvexEvent is 24 bytes");
static_assert(offsetof(OrvexEvent, time_ms) == 8 && offsetof(OrvexEvent, error_code) == 12 &&
                  offsetof(OrvexEvent, error_register) == 16 && offsetof(OrvexEvent, data) == 17 &&
                  offsetof(OrvexEvent, nmt_state) == 22,
              "OrvexEvent's offsets");

bool valid_node(int node) {
    return node >= 1 && node <= 127;
}

// The next event already decoded, after judging the heartbeats watched.
bool take_event(OrvexEvent* event) {
    orvex::Line& l = orvex::line();
    orvex::os::LockGuard guard(l.events_lock);
    l.events.judge(orvex::os::tick_ms());
    return l.events.next(*event);
}

}  // namespace

extern "C" {

int Orvex_NextEvent(OrvexEvent* event, int timeout_ms) {
    using namespace orvex;
    if (event == nullptr || timeout_ms < 0 || timeout_ms > kMaxLimitMs) {
        record(Outcome::kBadArgument);
        return 0;
    }
    // Reads the line as Orvex_ReceiveFrame does, giving way to every other call; what it reads
    // is decoded and kept for Orvex_ReceiveFrame too. What waits already comes first, so that no
    // heartbeat is judged lost that is only still unread.
    Exchange exchange(Priority::kListener);
    const Deadline deadline = Deadline::starting_now(timeout_ms - 1);
    if (exchange.has_port()) {
        const Outcome taken = exchange.take_in_waiting();
        if (taken == Outcome::kSystemError) return 0;
    }
    for (;;) {
        if (take_event(event)) {
            record(Outcome::kOk);
            return 1;
        }
        if (!exchange.has_port()) {
            record(Outcome::kNoPort);
            return 0;
        }
        // Wakes for a heartbeat that becomes overdue before the limit, too.
        int next_judgement = 0;
        {
            Line& l = line();
            os::LockGuard guard(l.events_lock);
            next_judgement = l.events.ms_to_next_judgement(os::tick_ms());
        }
        const int remaining = static_cast<int>(deadline.remaining_ms()) - 1;
        const bool judging = next_judgement >= 0 && next_judgement < remaining;
        FrameWait wait(judging ? Deadline::starting_now(next_judgement) : deadline);
        std::uint8_t frame[kFrameSize];
        const Outcome received = exchange.next(wait, frame);
        if (received == Outcome::kOk) {
            exchange.pass_over(frame);
            continue;
        }
        if (received == Outcome::kTimeout && judging) continue;
        if (received == Outcome::kTimeout && take_event(event)) {
            record(Outcome::kOk);
            return 1;
        }
        end_of_wait(received);
        return 0;
    }
}

int Orvex_WatchHeartbeat(int node, int consumer_ms) {
    using namespace orvex;
    if (!valid_node(node) || consumer_ms < 0 || consumer_ms > 65535) {
        record(Outcome::kBadArgument);
        return 0;
    }
    Line& l = line();
    os::LockGuard guard(l.events_lock);
    l.events.watch(node, consumer_ms, os::tick_ms());
    record(Outcome::kOk);
    return 1;
}

int Orvex_Emergencies(int node, OrvexEvent* events, int capacity) {
    using namespace orvex;
    if (!valid_node(node) || capacity < 0 || (events == nullptr && capacity > 0)) {
        record(Outcome::kBadArgument);
        return -1;
    }
    Line& l = line();
    os::LockGuard guard(l.events_lock);
    record(Outcome::kOk);
    return l.events.emergencies(node, events, capacity);
}

}  // extern "C"
