// Pipelined reads: many upload requests written back to back, their answers matched as they come,
// in any order, by node, index and subindex.
#pragma once

#include <cstdint>

namespace orvex {

constexpr int kMaxBatchReads = 127;

// One batch as the host hands it over: parallel arrays of `count` items.
struct BatchReads {
    int count;
    const int* nodes;
    const int* indexes;
    const int* subindexes;
    unsigned* values;
    int* results;
};

// True when the batch can be sent: 1 to kMaxBatchReads items, no null array, nodes 0-127, indexes
// 0-0xFFFF, subindexes 0-255, and no item twice.
bool batch_is_valid(const BatchReads& batch);

// Sends a valid batch and collects its answers. Per item: results[i] is ORVEX_OK with the value
// in values[i] (answer bytes 6-9), or the failure (values[i] untouched). Returns the number of
// items read and records the most serious outcome.
int read_batch(const BatchReads& batch);

// Time the batch's frames take on the line at `baud` (requests out and answers back, 10 bits a
// byte), rounded up; 0 when the baud is not known.
int batch_wire_ms(int count, int baud);

}  // namespace orvex
