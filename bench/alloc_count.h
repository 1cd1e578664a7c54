// Heap allocations of a stretch of code: malloc, calloc and realloc of the
// whole program (operator new included, it calls malloc) are counted while a
// Count scope is open. Include in one source per program. Under a sanitizer,
// which brings its own allocator, nothing is counted.
#pragma once

#include <atomic>
#include <cstddef>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KELVO_BENCH_COUNTS_ALLOCATIONS 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define KELVO_BENCH_COUNTS_ALLOCATIONS 0
#endif
#endif
#ifndef KELVO_BENCH_COUNTS_ALLOCATIONS
#define KELVO_BENCH_COUNTS_ALLOCATIONS 1
#endif

namespace kelvo::bench {

inline std::atomic<bool> g_countAllocations{false};
inline std::atomic<std::size_t> g_allocations{0};

// Counts the allocations made while it lives (by any thread).
class AllocationScope {
public:
    AllocationScope() {
        g_allocations.store(0, std::memory_order_relaxed);
        g_countAllocations.store(true, std::memory_order_relaxed);
    }
    ~AllocationScope() { g_countAllocations.store(false, std::memory_order_relaxed); }
    AllocationScope(const AllocationScope&) = delete;
    AllocationScope& operator=(const AllocationScope&) = delete;
    std::size_t count() const { return g_allocations.load(std::memory_order_relaxed); }
};

constexpr bool kCountsAllocations = KELVO_BENCH_COUNTS_ALLOCATIONS != 0;

} // namespace kelvo::bench

#if KELVO_BENCH_COUNTS_ALLOCATIONS
extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* block, std::size_t size);

inline void CountAllocation() {
    if (kelvo::bench::g_countAllocations.load(std::memory_order_relaxed))
        kelvo::bench::g_allocations.fetch_add(1, std::memory_order_relaxed);
}

void* malloc(std::size_t size) noexcept {
    CountAllocation();
    return __libc_malloc(size);
}

void* calloc(std::size_t count, std::size_t size) noexcept {
    CountAllocation();
    return __libc_calloc(count, size);
}

void* realloc(void* block, std::size_t size) noexcept {
    CountAllocation();
    return __libc_realloc(block, size);
}
}
#endif
