#include "tests/engine/support/failing_allocations.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace {

std::atomic<size_t> g_failFrom{SIZE_MAX};

}  // namespace

namespace qel::test {

FailingAllocations::FailingAllocations(size_t bytes) { g_failFrom = bytes; }
FailingAllocations::~FailingAllocations() { g_failFrom = SIZE_MAX; }

}  // namespace qel::test

// Replaces the runtime's operator new for the whole test program; the runtime's operator delete
// frees with free(), which matches.
void* operator new(size_t size) {
    if (size >= g_failFrom.load(std::memory_order_relaxed)) throw std::bad_alloc();
    if (void* memory = std::malloc(size ? size : 1)) return memory;
    throw std::bad_alloc();
}
