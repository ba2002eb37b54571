#include "cancel.h"

#include <atomic>

namespace orvex {
namespace {

std::atomic<std::uint32_t> g_generation{0};
static_assert(std::atomic<std::uint32_t>::is_always_lock_free, "Orvex_Cancel must be lock-free");

struct ThreadScope {
    int depth = 0;
    std::uint32_t generation = 0;
};

ThreadScope& thread_scope() {
    // Trivially constructible, so no per-thread constructor or destructor is registered.
    static thread_local ThreadScope scope;
    return scope;
}

}  // namespace

void cancel_waits() {
    g_generation.fetch_add(1, std::memory_order_release);
}

std::uint32_t wait_generation() {
    const ThreadScope& scope = thread_scope();
    return scope.depth > 0 ? scope.generation : g_generation.load(std::memory_order_acquire);
}

bool cancelled_since(std::uint32_t generation) {
    return g_generation.load(std::memory_order_acquire) != generation;
}

CancelScope::CancelScope() {
    ThreadScope& scope = thread_scope();
    outermost_ = scope.depth++ == 0;
    if (outermost_) scope.generation = g_generation.load(std::memory_order_acquire);
}

CancelScope::~CancelScope() {
    --thread_scope().depth;
}

}  // namespace orvex
