#include "alloc_counter.h"

#include <cerrno>
#include <cstddef>

// glibc's own entry points, which the counting versions forward to.
extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* pointer, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void* pointer);
}

namespace {

// Plain thread-locals of the executable need no allocation to reach, so malloc can use them.
thread_local bool t_counting = false;
thread_local std::uint64_t t_allocations = 0;

inline void note_allocation() {
    if (t_counting) ++t_allocations;
}

}  // namespace

extern "C" {

void* malloc(std::size_t size) noexcept {
    note_allocation();
    return __libc_malloc(size);
}

void* calloc(std::size_t count, std::size_t size) noexcept {
    note_allocation();
    return __libc_calloc(count, size);
}

void* realloc(void* pointer, std::size_t size) noexcept {
    note_allocation();
    return __libc_realloc(pointer, size);
}

void* memalign(std::size_t alignment, std::size_t size) noexcept {
    note_allocation();
    return __libc_memalign(alignment, size);
}

void* aligned_alloc(std::size_t alignment, std::size_t size) noexcept {
    note_allocation();
    return __libc_memalign(alignment, size);
}

int posix_memalign(void** pointer, std::size_t alignment, std::size_t size) noexcept {
    if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0) return EINVAL;
    note_allocation();
    void* block = __libc_memalign(alignment, size);
    if (block == nullptr) return ENOMEM;
    *pointer = block;
    return 0;
}

void free(void* pointer) noexcept {
    __libc_free(pointer);
}

}  // extern "C"

namespace orvex::bench {

AllocationCount::AllocationCount() : before_(t_allocations) {
    t_counting = true;
}

AllocationCount::~AllocationCount() {
    t_counting = false;
}

std::uint64_t AllocationCount::count() const {
    return t_allocations - before_;
}

}  // namespace orvex::bench
