// The line between the host and the drives, as time: the serial link paced at its baud rate, the
// USB-serial chip's latency timer holding bytes back on their way to the host, and each CAN frame's
// time on the bus. Pure code: every call takes the current time, in seconds from any fixed start,
// so the model is tested without a clock. All settings 0 keep the line instant.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <vector>

namespace orvex::sim {

struct LineSettings {
    int baud = 0;        // serial rate in both directions, 10 bits a byte; 0 = instant
    int latency_ms = 0;  // latency timer on bytes to the host; 0 = none
    int can_kbit = 0;    // CAN bit rate in kbit/s; 0 = frames take no bus time
};

// Bits a classic CAN data frame with an 11-bit identifier takes on the bus, stuff bits and the
// interframe space included (111 for 8 data bytes before stuffing).
int CanFrameBits(uint16_t cob_id, const uint8_t* data, int length);

class LineModel {
  public:
    static constexpr std::size_t kLatencyBufferBytes = 62;  // one USB packet's payload
    static constexpr double kNever = std::numeric_limits<double>::infinity();

    explicit LineModel(const LineSettings& settings = {});

    const LineSettings& settings() const { return settings_; }
    double byte_seconds() const;

    // Bytes the host wrote, arriving at the adapter one after another at the line's rate.
    void FromHost(const uint8_t* bytes, std::size_t count, double now);
    // Bytes the adapter has taken in completely by `now`, in order.
    std::vector<uint8_t> TakeFromHost(double now);

    // A CAN frame handed to the bus at `ready` is through at the returned time; the bus carries one
    // frame at a time.
    double CarryOnBus(uint16_t cob_id, const uint8_t* data, int length, double ready);

    // Bytes the adapter starts sending to the host at `ready` (not before; after what it sent
    // earlier).
    void ToHost(const uint8_t* bytes, std::size_t count, double ready);
    // Bytes that reach the host by `now`, in order, released as the latency timer lets them go.
    std::vector<uint8_t> TakeToHost(double now);

    // The earliest time at which TakeToHost has something new, or TakeFromHost has
    // `host_bytes_wanted` bytes (a caller that can do nothing with fewer need not wake for them);
    // kNever when nothing waits.
    double NextEvent(std::size_t host_bytes_wanted = 1) const;
    bool idle() const { return from_host_.empty() && to_host_.empty(); }
    // Bytes on their way to the host that have not reached it yet.
    std::size_t bytes_to_host() const { return to_host_.size(); }

  private:
    struct TimedByte {
        double at;
        uint8_t byte;
    };
    // When the held bytes at the front of `to_host_` go to the host, and how many go.
    double ReleaseTime(std::size_t* count) const;

    LineSettings settings_;
    std::deque<TimedByte> from_host_;  // time each byte is fully received by the adapter
    std::deque<TimedByte> to_host_;    // time each byte has left the adapter's serial side
    double from_host_free_ = 0.0;
    double to_host_free_ = 0.0;
    double bus_free_ = 0.0;
};

}  // namespace orvex::sim
