// The heap held through operator new (blocks as the allocator rounds them), for tests that bound a
// peak; the test's own thread only. It replaces operator new: include it in one test file.
#pragma once
#include <malloc.h>

#include <cstdlib>
#include <new>

namespace heap_count {
inline size_t held = 0, peak = 0;
// The most bytes held at once while `fn` ran, beyond what was held before.
template <typename F> size_t peak_of(F fn) {
    size_t before = peak = held;
    fn();
    return peak - before;
}
} // namespace heap_count

__attribute__((noinline)) void* operator new(size_t size) {
    void* block = malloc(size);
    if (block == nullptr)
        throw std::bad_alloc();
    heap_count::held += malloc_usable_size(block);
    heap_count::peak = heap_count::held > heap_count::peak ? heap_count::held : heap_count::peak;
    return block;
}
__attribute__((noinline)) void operator delete(void* block) noexcept {
    heap_count::held -= malloc_usable_size(block);
    free(block);
}
__attribute__((noinline)) void operator delete(void* block, size_t) noexcept { operator delete(block); }
