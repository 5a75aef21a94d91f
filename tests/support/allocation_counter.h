#pragma once

// Counts heap allocations made by the current thread while a ScopedAllocationCount
// is alive, by replacing the global operator new. Include this header in exactly
// one source file of a test executable, and only where
// CASTELLAN_COUNT_ALLOCATIONS is 1: sanitizer builds replace the allocator
// themselves, so there the counting (and the tests using it) switch off.

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define CASTELLAN_COUNT_ALLOCATIONS 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define CASTELLAN_COUNT_ALLOCATIONS 0
#endif
#endif
#ifndef CASTELLAN_COUNT_ALLOCATIONS
#define CASTELLAN_COUNT_ALLOCATIONS 1
#endif

#if CASTELLAN_COUNT_ALLOCATIONS

#include <cstdlib>
#include <new>

namespace castellan_test {

// Other threads (Qt's, the test framework's) are not counted.
inline thread_local bool countingAllocations = false;
inline thread_local long countedAllocations = 0;

class ScopedAllocationCount {
public:
    ScopedAllocationCount() {
        countedAllocations = 0;
        countingAllocations = true;
    }
    ~ScopedAllocationCount() { countingAllocations = false; }
    ScopedAllocationCount(const ScopedAllocationCount&) = delete;
    ScopedAllocationCount& operator=(const ScopedAllocationCount&) = delete;
    long count() const { return countedAllocations; }
};

}  // namespace castellan_test

void* operator new(std::size_t size) {
    if (castellan_test::countingAllocations) ++castellan_test::countedAllocations;
    if (void* memory = std::malloc(size ? size : 1)) return memory;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    if (castellan_test::countingAllocations) ++castellan_test::countedAllocations;
    return std::malloc(size ? size : 1);
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }

#endif
