// SDO transfers of any size: expedited, segmented and block uploads and downloads, as a CiA 301
// client does them, on the port's exchange lock and frame receiver. Each step waits at most the
// query limit; a step that times out sends the abort 0x05040000, so that the server is free again.
#pragma once

#include <cstddef>
#include <cstdint>

#include "can_serial_frame.h"
#include "last_result.h"

namespace orvex {

constexpr int kMaxBlockSize = 127;
constexpr std::size_t kSegmentBytes = 7;

// When block transfers are used: for objects longer than `threshold` bytes (0: never), with
// `block_size` segments a block.
struct BlockSettings {
    int threshold;
    int block_size;
};

// Refuses (false, nothing changed) a negative threshold, or a block size outside 1-127 (0 is
// taken with threshold 0).
bool set_block_transfer(int threshold, int block_size);
BlockSettings block_transfer();

// Reads the object into `buffer`. On kOk `length` is the number of bytes received. When the
// object does not fit, the transfer is aborted with 0x05040005 and `length` is the size the server
// announced (or the bytes known to come, when it announced none). Records the outcome and the
// transfer.
Outcome upload_object(int node, ObjectEntry entry, std::uint8_t* buffer, std::size_t capacity,
                      std::size_t& length);

// Writes `length` bytes of `data` to the object and waits for the server to confirm.
Outcome download_object(int node, ObjectEntry entry, const std::uint8_t* data, std::size_t length);

// The CRC block transfers carry: polynomial x^16 + x^12 + x^5 + 1, starting from `crc` (0 for a
// new transfer), no reflection.
std::uint16_t block_crc(const std::uint8_t* data, std::size_t length, std::uint16_t crc = 0);

}  // namespace orvex
