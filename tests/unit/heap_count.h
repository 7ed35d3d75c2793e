// The heap a test executable holds through operator new (as the allocator rounds each block), for
// tests that bound a function's peak. Include it in the executable's one test file: it replaces the
// global operator new and delete. The test's own thread only.
#pragma once
#include <malloc.h>

#include <algorithm>
#include <cstdlib>
#include <new>

namespace heap_count {
inline size_t held = 0, peak = 0;
// The most bytes held at once while `fn` ran, beyond what was held before.
template <typename F> size_t peak_of(F fn) {
    size_t before = held;
    peak = held;
    fn();
    return peak - before;
}
} // namespace heap_count

__attribute__((noinline)) void* operator new(size_t size) {
    void* block = malloc(size);
    if (block == nullptr)
        throw std::bad_alloc();
    heap_count::peak = std::max(heap_count::peak, heap_count::held += malloc_usable_size(block));
    return block;
}
__attribute__((noinline)) void operator delete(void* block) noexcept {
    heap_count::held -= malloc_usable_size(block);
    free(block);
}
__attribute__((noinline)) void operator delete(void* block, size_t) noexcept { operator delete(block); }
