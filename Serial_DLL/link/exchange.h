// Exchanges: the one way the library sends frames and awaits answers on the line.
//
// An `Exchange` holds the line for its lifetime (the exchange lock), sends under the port lock and
// reads through the line's one receiver. Every frame it reads and does not take is disposed of in
// one place: what the bus said by itself (emergencies, heartbeats, boot-ups, PDOs, SYNC, anything
// that is not SDO traffic) goes to the line's queue for Orvex_ReceiveFrame; a stale SDO answer is
// dropped, unless it is owed to an exchange that gave way to a stop.
//
// Stops come first. An exchange made with Priority::kStop (quick stop, halt, disable) is let in at
// the next frame boundary: an exchange that awaits an answer gives way to it (its wait stops, the
// lock is handed over, and it goes on once the stop is sent and confirmed; answers of the nodes it
// claimed that arrive meanwhile are kept for it). A listener (Orvex_ReceiveFrame) gives way to any
// other caller. Everything else waits for the exchange in progress to end: no frame of another
// thread ever lands between two frames of a transfer or a batch.
#pragma once

#include <cstddef>
#include <cstdint>

#include "can_serial_frame.h"
#include "cancel.h"
#include "frame_receiver.h"
#include "last_result.h"
#include "serial_device.h"

namespace orvex {

enum class Priority { kNormal, kStop, kListener };

class Exchange {
  public:
    explicit Exchange(Priority priority = Priority::kNormal);
    ~Exchange();
    Exchange(const Exchange&) = delete;
    Exchange& operator=(const Exchange&) = delete;

    bool has_port() const { return device_ != os::kNoDevice; }

    // The answers of `node`'s server (0: of every server) are this exchange's: kept for it while
    // it gives way to a stop.
    void claim(int node);

    // Takes in the complete frames already waiting, so that what arrives next answers what this
    // exchange sends: what the bus said is kept, stale answers are dropped.
    Outcome drain();

    // Takes in the complete frames already waiting, as drain() does, and judges the heartbeats
    // watched; keeps what it leaves incomplete.
    Outcome take_in_waiting();

    // Writes whole frames. kNoPort or kSystemError (recorded; the receive side is purged then);
    // kOk is recorded too.
    Outcome send(const void* frames, std::size_t length);

    // The next frame that `accept` takes, within `wait`. kTimeout, kCancelled or kSystemError
    // (recorded) when none came.
    template <typename Accept>
    Outcome await(FrameWait& wait, std::uint8_t* frame, Accept accept) {
        for (;;) {
            const Outcome received = next(wait, frame);
            if (received != Outcome::kOk) return received;
            if (accept(static_cast<const std::uint8_t*>(frame))) return Outcome::kOk;
            pass_over(frame);
        }
    }

    // The next frame, whatever it is: frames kept for this exchange first, then the line's.
    Outcome next(FrameWait& wait, std::uint8_t* frame);
    // The frame next() gave is not taken: disposed of as said above.
    void pass_over(const std::uint8_t* frame);
    // The frame belongs to a PDO stream (see pdo_streams.h): pass_over() takes it.
    static bool is_streamed(const std::uint8_t* frame);
    // A frame the bus sent unasked, taken by this exchange: decoded into an event where it is one
    // (pass_over does it for the frames it keeps).
    void observe(const std::uint8_t* frame);

  private:
    void give_way();
    // Takes in frames until the wait ends: kept or dropped as pass_over() does.
    Outcome take_in(FrameWait& wait);

    // First, so that a cancel while the line is busy ends this call's wait too.
    CancelScope scope_;
    Priority priority_;
    bool outermost_;
    bool resumed_ = false;    // gave way: frames kept meanwhile come first
    bool last_held_ = false;  // the frame next() gave came from those
    os::DeviceHandle device_;
    std::uint32_t claimed_[4] = {};
};

// A stop to a node is counted before it takes the line, so that a write of a procedure that began
// before it, and takes the line after it, is not sent: the stop is never undone.
std::uint32_t stops_sent(int node);
struct StopGuard {
    int node;
    std::uint32_t stops_seen;  // stops_sent(node) when the procedure began (or last stopped)
    bool stopped_since() const { return stops_sent(node) != stops_seen; }
};

// Waits until the deadline has expired or the wait is cancelled; for when there is nothing to
// wait on. Returns kTimeout or kCancelled.
Outcome wait_out(const Deadline& deadline);

// A wait that ended without an answer: kTimeout or kCancelled (both recorded), or the failure
// already recorded.
Outcome end_of_wait(Outcome outcome);

// Sends an upload request with `command` for `entry` to `node` and waits for its own answer,
// skipping any other frame. On kOk `value` holds answer bytes 6-9. Records the outcome.
Outcome sdo_upload(int node, std::uint8_t command, ObjectEntry entry, std::uint32_t& value);

// Writes `value` to `entry` of `node` with the download `command` and waits until the server has
// confirmed it: its confirmation (0x60) where the adapter forwards confirmations, else the object
// read back once (kValueMismatch when it holds another value). An abort is kSdoAbort with its
// code. With Priority::kStop the write counts as a stop to the node. With a `guard`, nothing is
// sent once a stop has gone to the node since the guard's count: kStateChanged. Records the
// outcome.
Outcome sdo_download_confirmed(int node, std::uint8_t command, ObjectEntry entry,
                               std::uint32_t value, Priority priority = Priority::kNormal,
                               const StopGuard* guard = nullptr);

// Writes frames in order without awaiting anything, stopping at the first failed write: the
// original one-frame commands. 1 when all were written, else 0. With Priority::kStop they count as
// a stop to the node of the first frame.
int send_commands(const CanSerialFrame* frames, std::size_t count,
                  Priority priority = Priority::kNormal);

// Writes `request` (may be empty) after purging the receive side of the host's `purge_handle`
// (when not null), then waits for `answer_length` bytes and reads them into `answer`. The bytes
// stay queued until all of them have arrived. True when the answer was read (at once when none is
// wanted), whatever the write did; the recorded outcome tells the write's failure all the same.
bool raw_exchange(void* purge_handle, const void* request, std::size_t request_length, void* answer,
                  std::size_t answer_length);

}  // namespace orvex
