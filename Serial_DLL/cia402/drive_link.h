// One drive as the procedures reach it: whole-statusword reads, several objects read in one round
// trip, 2-byte controlword writes, and polling the statusword until a condition holds. Built on the
// library's exchanges; every wait is bounded by the procedure's deadline.
#pragma once

#include <cstdint>

#include "../link/can_serial_frame.h"
#include "../link/cancel.h"
#include "../link/deadline.h"
#include "../link/exchange.h"
#include "../link/last_result.h"
#include "vocabulary.h"

namespace orvex::cia402 {

// The pause between two statusword reads of a waiting procedure.
constexpr std::uint32_t kPollMs = ORVEX_POLL_MS;

// A procedure's link lives for the whole call: its waits count from one cancel generation, so
// Orvex_Cancel ends the procedure, not only the exchange in progress.
//
// A stop to the node from anywhere (another thread's procedure, an original stop command) ends
// the procedure: its waits end with kStateChanged and its writes are no longer sent, so it never
// undoes the stop. Its own stops (Priority::kStop) count it as having seen them.
class DriveLink {
  public:
    explicit DriveLink(int node) : node_(node), guard_{node, stops_sent(node)} {}
    DriveLink(const DriveLink&) = delete;
    DriveLink& operator=(const DriveLink&) = delete;

    int node() const { return node_; }

    // The whole statusword (0x6041).
    Outcome read_statusword(std::uint16_t& statusword) const;
    // One object's answer bytes 6-9.
    Outcome read(ObjectEntry entry, std::uint32_t& value) const;
    // Several objects of this drive in one round trip. `results[i]` is each one's outcome; the
    // outcome returned is that of the first item that failed (kOk when none did).
    Outcome read_together(const ObjectEntry* entries, std::uint32_t* values, Outcome* results,
                          int count) const;

    // Confirmed writes (see sdo_download_confirmed): a refusal is kSdoAbort with its code. A stop
    // (quick stop, disable, halt) goes out with Priority::kStop, ahead of other threads' waits.
    Outcome write_controlword(std::uint16_t value, Priority priority = Priority::kNormal) const;
    Outcome write(ObjectEntry entry, std::uint8_t command, std::uint32_t value,
                  Priority priority = Priority::kNormal) const;

    // A stop has gone to the node since this procedure began. Never once the procedure has sent
    // a stop of its own: another stop does not undo that one.
    bool stopped() const { return !stopping_ && guard_.stopped_since(); }

    // Reads the statusword until `done` holds for it (kOk) or the deadline expires (kTimeout) or
    // the wait is cancelled (kCancelled) or another stop ends it (kStateChanged); `statusword`
    // is the last one read. A failed read ends the wait with its outcome.
    template <typename Done>
    Outcome await(const Deadline& deadline, std::uint16_t& statusword, Done done) const {
        for (;;) {
            const Outcome read = read_statusword(statusword);
            if (read != Outcome::kOk) return read;
            if (done(statusword)) return Outcome::kOk;
            if (stopped()) return Outcome::kStateChanged;
            if (deadline.expired()) return Outcome::kTimeout;
            deadline.pause(kPollMs);
            if (deadline.cancelled()) return Outcome::kCancelled;
        }
    }

  private:
    int node_;
    mutable StopGuard guard_;
    mutable bool stopping_ = false;
    CancelScope scope_;
};

// A deadline for a procedure's time limit: 0 expires at once (one look, no waiting).
inline Deadline procedure_deadline(int timeout_ms) {
    return Deadline::starting_now(timeout_ms == 0 ? -1 : timeout_ms);
}

}  // namespace orvex::cia402
