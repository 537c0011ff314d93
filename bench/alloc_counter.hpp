#pragma once
// Counts the allocations of the whole process, for the "allocs/op" counter of a benchmark.
// Replaces the global operator new and delete: include it in one source of a benchmark
// program only.
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace bench {
inline std::atomic<uint64_t> allocations{0};
}

// malloc and free back the counted operators.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
    bench::allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop
