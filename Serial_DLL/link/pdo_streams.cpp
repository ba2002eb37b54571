#include "pdo_streams.h"

#include "can_serial_frame.h"

namespace orvex {

void PdoStreams::start(int node, int slot, unsigned cob_id, const StreamEntry* entries, int count) {
    Stream& stream = streams_[node & 0x7F];
    stream = Stream{};
    stream.cob_id = cob_id;
    stream.slot = slot;
    stream.count = count;
    for (int i = 0; i < count; ++i) stream.entries[i] = entries[i];
    stream.newest.count = count;
}

void PdoStreams::stop(int node) {
    streams_[node & 0x7F] = Stream{};
}

bool PdoStreams::owns(const std::uint8_t* frame) const {
    const unsigned id = frame_id(frame);
    for (const Stream& stream : streams_)
        if (stream.cob_id != 0 && stream.cob_id == id) return true;
    return false;
}

bool PdoStreams::take(const std::uint8_t* frame, std::uint32_t now) {
    const unsigned id = frame_id(frame);
    if (id < 0x181 || id > 0x57F) return false;  // the PDO range of CiA 301's identifiers
    for (Stream& stream : streams_) {
        if (stream.cob_id != id) continue;
        // The eight data bytes as one little-endian field; each entry takes its bits in turn.
        std::uint64_t data = 0;
        for (int i = 7; i >= 0; --i) data = data << 8 | frame[2 + i];
        for (int i = 0; i < stream.count; ++i) {
            const int bits = stream.entries[i].bits;
            const std::uint64_t mask = bits >= 32 ? 0xFFFFFFFFull : (1ull << bits) - 1;
            std::uint32_t value = static_cast<std::uint32_t>(data & mask);
            data >>= bits;
            if (stream.entries[i].is_signed && bits < 32 && (value >> (bits - 1)) != 0)
                value |= ~static_cast<std::uint32_t>(mask);  // sign-extended to 32 bits
            stream.newest.values[i] = value;
        }
        stream.newest.arrived = now;
        ++stream.newest.frames;
        return true;
    }
    return false;
}

bool PdoStreams::newest(int node, Newest& into) const {
    const Stream& stream = streams_[node & 0x7F];
    if (stream.cob_id == 0) return false;
    into = stream.newest;
    return true;
}

}  // namespace orvex
