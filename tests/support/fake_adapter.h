// A fake serial-to-CAN adapter on a pseudo-terminal: the library opens the slave path, the adapter
// holds the master, records every byte the library writes and answers as a test tells it to
// (promptly, late, never, in pieces, with noise in front). It splits what it reads into frames with
// the tools' codec, which finds the framing again after damaged bytes. The benchmarks use it too:
// without recording, answering uploads allocates nothing once it runs.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "test_frames.h"

namespace orvex::test {

// Bytes to send back, after a pause, optionally in chunks with pauses between them.
struct Reply {
    Bytes bytes;
    int delay_ms = 0;
    std::size_t chunk = 0;  // 0: all at once
    int chunk_pause_ms = 0;
};

// True when nobody holds the device at `path` open for exclusive use.
bool device_is_free(const std::string& path);

class FakeAdapter {
  public:
    // Called for every complete 12-byte frame the library writes; returns what to send back.
    using Responder = std::function<std::vector<Reply>(const Frame&)>;

    FakeAdapter();
    ~FakeAdapter();
    FakeAdapter(const FakeAdapter&) = delete;
    FakeAdapter& operator=(const FakeAdapter&) = delete;

    const std::string& path() const { return path_; }
    // A descriptor of the adapter's own on the same terminal (flushing it flushes the library's).
    int slave_fd() const { return slave_keepalive_; }

    void set_responder(Responder responder);
    // Answers every upload request with `value` for the requested object, like a drive would,
    // after the answer delay (counted from the moment the request was read).
    void answer_uploads_with(std::uint32_t value);
    void set_answer_delay_us(int delay_us) { answer_delay_us_ = delay_us; }
    // Collects `size` frames, then answers them together: a batch of pipelined requests.
    using BatchResponder = std::function<std::vector<Reply>(const std::vector<Frame>&)>;
    void answer_batches(std::size_t size, BatchResponder responder);
    // Stays silent.
    void silence();

    // Whether frames() keeps the frames that arrive (on by default; a long benchmark turns it off).
    void set_recording(bool on) { recording_ = on; }
    // Every complete frame read since construction; clear() does not reset it.
    std::uint64_t frame_count() const { return frame_count_; }

    // Unsolicited bytes, now.
    void send(const Bytes& bytes);

    // Waits until at least `count` bytes are waiting in the terminal's input queue, the library's
    // side (or `timeout`); true when they are.
    bool wait_until_library_has(std::size_t count,
                                std::chrono::milliseconds timeout = std::chrono::seconds(2));

    // Waits until at least `count` frames have arrived (or `timeout`), then returns all so far.
    std::vector<Frame> frames(std::size_t count = 0,
                              std::chrono::milliseconds timeout = std::chrono::seconds(2));
    std::size_t raw_byte_count();
    void clear();

    // Closes the master: for the library the device is gone.
    void vanish();

  private:
    void run();
    void answer_upload(const Frame& request, std::uint32_t value, long arrived_ns);

    std::string path_;
    int master_ = -1;
    int slave_keepalive_ = -1;
    int wake_[2] = {-1, -1};
    std::mutex mutex_;
    std::condition_variable arrived_;
    Responder responder_;
    bool answer_uploads_ = false;
    std::uint32_t upload_value_ = 0;
    std::atomic<int> answer_delay_us_{0};
    std::atomic<bool> recording_{true};
    std::atomic<std::uint64_t> frame_count_{0};
    std::vector<Frame> frames_;
    codec::FrameReader reader_;
    std::vector<Frame> uploads_to_answer_;  // the reader thread's, kept to reuse its storage
    std::size_t raw_bytes_ = 0;
    bool stop_ = false;
    unsigned generation_ = 0;         // bumped when the master is taken away
    unsigned reader_generation_ = 0;  // what the reader last saw
    std::condition_variable reader_moved_on_;
    std::thread thread_;
};

}  // namespace orvex::test
