#include "time_limits.h"

#include <atomic>
#include <cstdint>

namespace orvex {
namespace {

// Both limits in one word, so a host that sets both never lets an exchange see one old and one
// new value: query limit in the low half, exchange limit in the high half.
constexpr std::uint32_t pack(int query_ms, int exchange_ms) {
    return static_cast<std::uint32_t>(query_ms) | static_cast<std::uint32_t>(exchange_ms) << 16;
}

// 60000 fits in 16 bits.
static_assert(kMaxLimitMs <= 0xFFFF, "a limit must fit half of the packed word");

std::atomic<std::uint32_t> g_limits{pack(kDefaultQueryLimitMs, kDefaultExchangeLimitMs)};

bool acceptable(int ms) {
    return ms == 0 || (ms >= kMinLimitMs && ms <= kMaxLimitMs);
}

}  // namespace

int query_limit_ms() {
    return static_cast<int>(g_limits.load(std::memory_order_relaxed) & 0xFFFFu);
}

int exchange_limit_ms() {
    return static_cast<int>(g_limits.load(std::memory_order_relaxed) >> 16);
}

void current_time_limits(int& query_ms, int& exchange_ms) {
    const std::uint32_t limits = g_limits.load(std::memory_order_relaxed);
    query_ms = static_cast<int>(limits & 0xFFFFu);
    exchange_ms = static_cast<int>(limits >> 16);
}

bool set_time_limits(int query_ms, int exchange_ms) {
    if (!acceptable(query_ms) || !acceptable(exchange_ms)) return false;
    std::uint32_t old = g_limits.load(std::memory_order_relaxed);
    std::uint32_t wanted;
    do {
        const int query = query_ms != 0 ? query_ms : static_cast<int>(old & 0xFFFFu);
        const int exchange = exchange_ms != 0 ? exchange_ms : static_cast<int>(old >> 16);
        wanted = pack(query, exchange);
    } while (!g_limits.compare_exchange_weak(old, wanted, std::memory_order_relaxed));
    return true;
}

}  // namespace orvex
