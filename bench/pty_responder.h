// The adapter end of a pseudo-terminal for the benchmarks, and a plain client of the other end.
// Both sides of every comparison talk to their own PtyResponder, so the only difference between
// them is the client code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "codec.h"
#include "fake_adapter.h"

namespace orvex::bench {

constexpr std::size_t kFrameSize = codec::kFrameSize;
// Position every answer carries, so a benchmark can tell a real answer from a failure value.
constexpr std::uint32_t kAnsweredValue = 0x00012345;

// The 12-byte upload request for `index`/`sub` of `node`, exactly as the library sends it.
void upload_request(int node, std::uint16_t index, std::uint8_t sub, std::uint8_t* frame);
// A 12-byte download with `command` (0x23 four bytes, 0x2B two, ...), as the library's commands
// send it: all four value bytes are always filled.
void sdo_download(int node, std::uint8_t command, std::uint16_t index, std::uint8_t sub,
                  std::uint32_t value, std::uint8_t* frame);

// The tests' fake adapter set up as the benchmarks want it: it answers every upload request with
// kAnsweredValue for the requested object, after an optional delay counted from the moment the
// request was read; other frames are counted, none is kept.
class PtyResponder {
  public:
    PtyResponder();  // throws std::runtime_error when no pseudo-terminal can be made
    PtyResponder(const PtyResponder&) = delete;
    PtyResponder& operator=(const PtyResponder&) = delete;

    const std::string& slave_path() const { return adapter_.path(); }
    void set_answer_delay_us(int delay_us) { adapter_.set_answer_delay_us(delay_us); }
    void set_silent(bool silent);
    // The usual set-up: prompt answers.
    void answer_promptly() {
        set_answer_delay_us(0);
        set_silent(false);
    }
    std::uint64_t frames_received() const { return adapter_.frame_count(); }

  private:
    test::FakeAdapter adapter_;
};

// A client that uses a terminal the way a program without the library would: opened raw, one
// write per frame, blocking reads.
class RawPort {
  public:
    explicit RawPort(const std::string& path);
    ~RawPort();
    RawPort(const RawPort&) = delete;
    RawPort& operator=(const RawPort&) = delete;

    bool is_open() const { return fd_ >= 0; }
    void discard_input();
    bool write_all(const std::uint8_t* data, std::size_t length);
    // Blocks in read() until `length` bytes have arrived.
    bool read_exactly(std::uint8_t* data, std::size_t length);
    // Polls the queue count with no pause until `length` bytes wait, then reads them.
    bool spin_read_exactly(std::uint8_t* data, std::size_t length);

  private:
    int fd_ = -1;
};

// Nanoseconds on the monotonic clock, and the calling thread's CPU time.
long monotonic_ns();
long thread_cpu_ns();

}  // namespace orvex::bench
