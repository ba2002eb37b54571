// The one helper every drive command goes through: write frames in order, stop at the first
// failure.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "../cia402/vocabulary.h"
#include "../link/can_serial_frame.h"
#include "../link/exchange.h"
#include "../link/last_result.h"

namespace orvex {

// 1 when every frame was written, 0 at the first frame whose write failed (later frames unsent).
// The frames go out together under the exchange lock; a stop (quick stop, disable, halt) is let in
// ahead of any exchange that waits.
int write_frames(std::initializer_list<CanSerialFrame> frames,
                 Priority priority = Priority::kNormal);

// Shorthands for the frames drive commands are made of.
inline CanSerialFrame write_controlword(int node, std::uint32_t value) {
    return sdo_download(node, sdo::kDownload2, object::kControlword, value);
}
inline CanSerialFrame write_mode(int node, std::uint32_t mode) {
    return sdo_download(node, sdo::kDownload1, object::kModesOfOperation, mode);
}
inline CanSerialFrame write_u32(int node, ObjectEntry entry, std::uint32_t value) {
    return sdo_download(node, sdo::kDownload4, entry, value);
}

}  // namespace orvex
