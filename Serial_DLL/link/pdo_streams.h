// Streams of transmit PDOs: the newest values each node sends by itself, decoded from its frames
// by COB-ID as they are read off the line, whoever reads it. A stream's frames are taken here and
// never kept as noise for Orvex_ReceiveFrame nor taken as anyone's answer.
#pragma once

#include <cstdint>

namespace orvex {

constexpr int kMaxStreamEntries = 8;

// One mapped value: its bit length (1-32) and whether it is a signed integer.
struct StreamEntry {
    std::uint8_t bits;
    bool is_signed;
};

class PdoStreams {
  public:
    // Node `node` streams on `cob_id` (its transmit PDO `slot`, 0-3) the entries given, packed
    // in order from bit 0.
    void start(int node, int slot, unsigned cob_id, const StreamEntry* entries, int count);
    void stop(int node);
    // Another line: nothing streams on it yet.
    void clear() {
        for (int node = 0; node < 128; ++node) stop(node);
    }
    // The COB-ID a node streams on; 0 when none.
    unsigned cob_id(int node) const { return streams_[node & 0x7F].cob_id; }
    int slot(int node) const { return streams_[node & 0x7F].slot; }

    // The frame belongs to a stream.
    bool owns(const std::uint8_t* frame) const;
    // Takes the frame when it belongs to a stream (true), decoding it into that stream's values.
    bool take(const std::uint8_t* frame, std::uint32_t now);

    struct Newest {
        std::uint32_t values[kMaxStreamEntries];
        int count;
        std::uint32_t arrived;  // tick of the newest frame
        std::uint32_t frames;   // frames received since the stream started
    };
    // The node's newest values; false when it streams nothing.
    bool newest(int node, Newest& into) const;

  private:
    struct Stream {
        unsigned cob_id = 0;  // 0: none
        int slot = 0;
        StreamEntry entries[kMaxStreamEntries] = {};
        int count = 0;
        Newest newest = {};
    };
    Stream streams_[128];
};

}  // namespace orvex
