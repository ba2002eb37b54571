#include "line_model.h"

#include <algorithm>

namespace orvex::sim {

namespace {

constexpr double kBitsPerByte = 10.0;  // start, eight data bits, stop

// CRC-15 of the CAN frame, over the bits from the start of frame to the end of the data.
uint16_t Crc15(const std::vector<int>& bits) {
    uint16_t crc = 0;
    for (const int bit : bits) {
        const int top = (crc >> 14) & 1;
        crc = static_cast<uint16_t>((crc << 1) & 0x7FFF);
        if ((bit ^ top) != 0) crc ^= 0x4599;
    }
    return crc;
}

void PushBits(std::vector<int>* bits, uint32_t value, int count) {
    for (int i = count - 1; i >= 0; --i) bits->push_back(static_cast<int>((value >> i) & 1u));
}

}  // namespace

int CanFrameBits(uint16_t cob_id, const uint8_t* data, int length) {
    length = std::clamp(length, 0, 8);
    std::vector<int> bits;
    bits.push_back(0);  // start of frame
    PushBits(&bits, cob_id & 0x7FF, 11);
    PushBits(&bits, 0, 3);  // RTR, IDE, r0
    PushBits(&bits, static_cast<uint32_t>(length), 4);
    for (int i = 0; i < length; ++i) PushBits(&bits, data[i], 8);
    PushBits(&bits, Crc15(bits), 15);

    // After five equal bits the sender inserts one of the other level, which counts in the run.
    int stuffed = 0;
    int run = 0;
    int last = -1;
    for (const int bit : bits) {
        if (bit == last) {
            ++run;
        } else {
            last = bit;
            run = 1;
        }
        if (run == 5) {
            ++stuffed;
            last = 1 - bit;
            run = 1;
        }
    }
    // CRC delimiter, acknowledge slot and delimiter, end of frame, interframe space.
    constexpr int kTrailer = 1 + 2 + 7 + 3;
    return static_cast<int>(bits.size()) + stuffed + kTrailer;
}

LineModel::LineModel(const LineSettings& settings) : settings_(settings) {}

double LineModel::byte_seconds() const {
    return settings_.baud > 0 ? kBitsPerByte / settings_.baud : 0.0;
}

void LineModel::FromHost(const uint8_t* bytes, std::size_t count, double now) {
    const double start = std::max(from_host_free_, now);
    for (std::size_t i = 0; i < count; ++i) {
        from_host_.push_back({start + static_cast<double>(i + 1) * byte_seconds(), bytes[i]});
    }
    if (count > 0) from_host_free_ = from_host_.back().at;
}

std::vector<uint8_t> LineModel::TakeFromHost(double now) {
    std::vector<uint8_t> taken;
    while (!from_host_.empty() && from_host_.front().at <= now) {
        taken.push_back(from_host_.front().byte);
        from_host_.pop_front();
    }
    return taken;
}

double LineModel::CarryOnBus(uint16_t cob_id, const uint8_t* data, int length, double ready) {
    if (settings_.can_kbit <= 0) return ready;
    const double start = std::max(bus_free_, ready);
    bus_free_ = start + CanFrameBits(cob_id, data, length) / (settings_.can_kbit * 1000.0);
    return bus_free_;
}

void LineModel::ToHost(const uint8_t* bytes, std::size_t count, double ready) {
    const double start = std::max(to_host_free_, ready);
    for (std::size_t i = 0; i < count; ++i) {
        to_host_.push_back({start + static_cast<double>(i + 1) * byte_seconds(), bytes[i]});
    }
    if (count > 0) to_host_free_ = to_host_.back().at;
}

double LineModel::ReleaseTime(std::size_t* count) const {
    *count = 0;
    if (to_host_.empty()) return kNever;
    const double first = to_host_.front().at;
    if (settings_.latency_ms <= 0) {
        *count = 1;
        return first;
    }
    // The buffer goes out when the timer runs out after its first byte, or sooner when it fills.
    const double timer = first + settings_.latency_ms / 1000.0;
    if (to_host_.size() >= kLatencyBufferBytes && to_host_[kLatencyBufferBytes - 1].at <= timer) {
        *count = kLatencyBufferBytes;
        return to_host_[kLatencyBufferBytes - 1].at;
    }
    while (*count < to_host_.size() && *count < kLatencyBufferBytes &&
           to_host_[*count].at <= timer) {
        ++*count;
    }
    return timer;
}

std::vector<uint8_t> LineModel::TakeToHost(double now) {
    std::vector<uint8_t> taken;
    for (;;) {
        std::size_t count = 0;
        const double release = ReleaseTime(&count);
        if (count == 0 || release > now) break;
        for (std::size_t i = 0; i < count; ++i) {
            taken.push_back(to_host_.front().byte);
            to_host_.pop_front();
        }
    }
    return taken;
}

double LineModel::NextEvent(std::size_t host_bytes_wanted) const {
    std::size_t count = 0;
    double next = ReleaseTime(&count);
    const std::size_t wanted = std::max<std::size_t>(1, host_bytes_wanted);
    if (from_host_.size() >= wanted) next = std::min(next, from_host_[wanted - 1].at);
    return next;
}

}  // namespace orvex::sim
