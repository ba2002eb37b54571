// An in-memory stand-in for the OS layer: a device whose input arrives on a virtual clock and whose
// writes can be made to fail. Linked under the library's portable code, it makes time limits,
// write failures and arbitrary input exact and instant to test.
#pragma once

#include <cstdint>
#include <vector>

namespace orvex::test::fake_os {

using Bytes = std::vector<std::uint8_t>;

// Resets the device and the clock. The clock starts at `start_tick` (try values near 2^32).
void reset(std::uint32_t start_tick = 1000);

// Input that becomes readable at virtual time now + `after_ms`.
void deliver(const Bytes& bytes, std::uint32_t after_ms = 0);

// Noise `pattern` arriving without a pause from now on for `for_ms`: `per_ms` bytes every
// millisecond. The input queue holds at most 4096 bytes, as a terminal's does; the rest is lost.
void flood(const Bytes& pattern, std::size_t per_ms, std::uint32_t for_ms);

// Reads take time: every `reads`-th read advances the clock by a millisecond (0: reads are free).
void set_reads_per_ms(unsigned reads);

// Makes the n-th write from now (0 = the next one) fail with `error`.
void fail_write(int nth, int error = 5 /* EIO */);

// Every write attempted since the last reset, each as it was handed to the OS layer.
const std::vector<Bytes>& writes();

// Input still unread.
std::size_t unread();

std::uint32_t now();

// When set, each write is handed its upload answer at once by this function (may return nothing).
using Responder = Bytes (*)(const Bytes& request);
void set_responder(Responder responder);

}  // namespace orvex::test::fake_os
