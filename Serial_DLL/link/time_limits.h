// The process-wide time limits of exchanges, settable by the host at any time. An exchange reads
// its limit once, when it starts, so a change applies to exchanges that start after it.
#pragma once

#include <cstddef>

#include "orvex.h"

namespace orvex {

constexpr int kDefaultQueryLimitMs = 800;
constexpr int kDefaultExchangeLimitMs = 3800;
constexpr int kMinLimitMs = ORVEX_MIN_LIMIT_MS;
constexpr int kMaxLimitMs = ORVEX_MAX_LIMIT_MS;

// Queries (and raw exchanges of at most 50 answer bytes) time out once strictly more than this
// has passed.
int query_limit_ms();
// Raw exchanges awaiting more than 50 answer bytes.
int exchange_limit_ms();

// Both limits as one reading, so that a change between the two is never half seen.
void current_time_limits(int& query_ms, int& exchange_ms);

// Sets both limits at once; 0 keeps a limit as it is. Refuses (false, nothing changed) a value
// outside kMinLimitMs..kMaxLimitMs.
bool set_time_limits(int query_ms, int exchange_ms);

// Time limit for an answer of `answer_length` bytes: an answer counts as late once strictly more
// than this has passed.
inline int answer_limit_ms(std::size_t answer_length) {
    return answer_length <= 50 ? query_limit_ms() : exchange_limit_ms();
}

// Time `frames` 12-byte frames take on the line at `baud`, 10 bits a byte, rounded up; 0 when
// the baud is not known.
inline int wire_ms(std::size_t frames, int baud) {
    if (baud <= 0) return 0;
    const long long bits = static_cast<long long>(frames) * 12 * 10;
    return static_cast<int>((bits * 1000 + baud - 1) / baud);
}

}  // namespace orvex
